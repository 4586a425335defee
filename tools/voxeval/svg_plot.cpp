#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace voxeval {

namespace {

constexpr double kWidth = 800, kHeight = 480;
constexpr double kLeft = 80, kTop = 24, kBottom = 56;
constexpr double kPlotH = kHeight - kTop - kBottom;
constexpr std::size_t kMarkerLimit = 25; // fewer points also get dots

// The legend sits right of the plot, so that it never hides a curve; the
// plot takes what width remains.
double LegendWidth(const Chart &c) {
  std::size_t longest = 0;
  for (const Series &s : c.series)
    longest = std::max(longest, s.name.size());
  return std::min(300.0, 40 + 7.5 * static_cast<double>(longest));
}

const char *const kColours[] = {"#1f6fb4", "#d62728", "#2c9f2c", "#ff7f0e",
                                "#8c4fbd", "#8c564b", "#d9449f", "#17a2b8"};

std::string Num(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", v);
  return buffer;
}

std::string Escaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    default:
      out.push_back(c);
    }
  }
  return out;
}

// Position along an axis in [0, 1]; halves keep huge ranges finite.
double Fraction(double v, const Ticks &t) {
  return (v / 2 - t.lo / 2) / (t.hi / 2 - t.lo / 2);
}

// The two axes' scales and the plot's width.
struct Frame {
  Ticks x, y;
  double width;
  double PixelX(double v) const { return kLeft + Fraction(v, x) * width; }
  double PixelY(double v) const { return kTop + (1 - Fraction(v, y)) * kPlotH; }
};

// A range that is a single value still needs some width to draw.
void Widen(double &lo, double &hi) {
  if (lo < hi)
    return;
  const double pad = std::max(1.0, std::fabs(lo)) * 0.5;
  lo -= pad;
  hi += pad;
}

void MinMax(const std::vector<double> &values, double &lo, double &hi) {
  for (double v : values) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
}

std::string Text(double x, double y, const char *anchor,
                 const std::string &text, const char *extra = "") {
  return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" text-anchor=\"" +
         anchor + "\"" + extra + ">" + Escaped(text) + "</text>\n";
}

std::string Line(double x1, double y1, double x2, double y2,
                 const char *style) {
  return "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) +
         "\" y2=\"" + Num(y2) + "\" " + style + "/>\n";
}

std::string XAxis(const Frame &f, const std::string &name) {
  std::string svg;
  const double base = kTop + kPlotH;
  for (double v : f.x.at) {
    const double x = f.PixelX(v);
    svg += Line(x, kTop, x, base, "stroke=\"#e4e4e4\"");
    svg += Line(x, base, x, base + 5, "stroke=\"#333\"");
    svg += Text(x, base + 20, "middle", TickLabel(v, f.x.step));
  }
  svg += Text(kLeft + f.width / 2, kHeight - 12, "middle", name,
              " font-style=\"italic\"");
  return svg;
}

std::string YAxis(const Frame &f) {
  std::string svg;
  for (double v : f.y.at) {
    const double y = f.PixelY(v);
    svg += Line(kLeft, y, kLeft + f.width, y, "stroke=\"#e4e4e4\"");
    svg += Line(kLeft - 5, y, kLeft, y, "stroke=\"#333\"");
    svg += Text(kLeft - 8, y + 4, "end", TickLabel(v, f.y.step));
  }
  return svg;
}

std::string Curve(const Chart &c, const Series &s, const char *colour,
                  const Frame &f) {
  std::string points;
  for (std::size_t i = 0; i < c.x.size(); ++i)
    points += (i ? " " : "") + Num(f.PixelX(c.x[i])) + "," +
              Num(f.PixelY(s.values[i]));
  std::string svg = "<polyline fill=\"none\" stroke=\"" + std::string(colour) +
                    "\" stroke-width=\"2\" points=\"" + points + "\"/>\n";
  if (c.x.size() <= kMarkerLimit)
    for (std::size_t i = 0; i < c.x.size(); ++i)
      svg += "<circle cx=\"" + Num(f.PixelX(c.x[i])) + "\" cy=\"" +
             Num(f.PixelY(s.values[i])) + "\" r=\"3\" fill=\"" + colour +
             "\"/>\n";
  return svg;
}

std::string Legend(const Chart &c, const Frame &f) {
  const double w = LegendWidth(c);
  const double h = 8 + 20 * static_cast<double>(c.series.size());
  const double x = kLeft + f.width + 16, y = kTop;
  std::string svg =
      "<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" + Num(w) +
      "\" height=\"" + Num(h) +
      "\" fill=\"white\" fill-opacity=\"0.85\" stroke=\"#999\"/>\n";
  for (std::size_t i = 0; i < c.series.size(); ++i) {
    const double row = y + 18 + 20 * static_cast<double>(i);
    const std::string style =
        "stroke=\"" + std::string(kColours[i % 8]) + "\" stroke-width=\"2\"";
    svg += Line(x + 8, row - 4, x + 28, row - 4, style.c_str());
    svg += Text(x + 34, row, "start", c.series[i].name);
  }
  return svg;
}

} // namespace

Ticks NiceTicks(double lo, double hi, bool snap) {
  Widen(lo, hi);
  const double raw = (hi / 2 - lo / 2) / 3; // about six intervals
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  const double m = raw / power;
  const double step = (m < 1.5 ? 1 : m < 3.5 ? 2 : m < 7.5 ? 5 : 10) * power;
  const double snappedLo = std::floor(lo / step) * step;
  const double snappedHi = std::ceil(hi / step) * step;
  if (snap && std::isfinite(snappedLo) && std::isfinite(snappedHi)) {
    lo = snappedLo;
    hi = snappedHi;
  }
  Ticks t{lo, hi, step, {}};
  const double first = std::ceil(lo / step);
  for (double k = first; k * step <= hi && k < first + 50; k += 1)
    t.at.push_back(k * step == 0 ? 0.0 : k * step);
  return t;
}

std::string TickLabel(double value, double step) {
  char buffer[48];
  const double magnitude = std::max(std::fabs(value), step);
  if (step >= 1e-4 && magnitude < 1e7) {
    const int decimals =
        std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  } else {
    const int digits = static_cast<int>(std::floor(std::log10(magnitude)) -
                                        std::floor(std::log10(step))) +
                       1;
    std::snprintf(buffer, sizeof buffer, "%.*g", std::clamp(digits, 1, 17),
                  value);
  }
  return buffer;
}

std::string ChartSvg(const Chart &c) {
  double xlo = c.x.front(), xhi = xlo, ylo = c.series[0].values[0], yhi = ylo;
  MinMax(c.x, xlo, xhi);
  for (const Series &s : c.series)
    MinMax(s.values, ylo, yhi);
  // The value axis ends on ticks, so that no curve runs along the frame.
  const Frame f{NiceTicks(xlo, xhi, false), NiceTicks(ylo, yhi, true),
                kWidth - kLeft - LegendWidth(c) - 32};

  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" "
                    "height=\"480\" viewBox=\"0 0 800 480\" "
                    "font-family=\"sans-serif\" font-size=\"13\">\n"
                    "<rect width=\"800\" height=\"480\" fill=\"white\"/>\n";
  svg += XAxis(f, c.xName) + YAxis(f);
  svg += "<rect x=\"" + Num(kLeft) + "\" y=\"" + Num(kTop) + "\" width=\"" +
         Num(f.width) + "\" height=\"" + Num(kPlotH) +
         "\" fill=\"none\" stroke=\"#333\"/>\n";
  for (std::size_t i = 0; i < c.series.size(); ++i)
    svg += Curve(c, c.series[i], kColours[i % 8], f);
  svg += Legend(c, f) + "</svg>\n";
  return svg;
}

} // namespace voxeval
