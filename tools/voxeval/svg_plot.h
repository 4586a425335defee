// A line chart of one or more columns over one swept variable, as SVG.
#ifndef VOXEVAL_SVG_PLOT_H
#define VOXEVAL_SVG_PLOT_H

#include <string>
#include <vector>

namespace voxeval {

struct Series {
  std::string name;
  std::vector<double> values; // one per x value
};

struct Chart {
  std::string xName;
  std::vector<double> x;
  std::vector<Series> series;
};

// The whole SVG document.
std::string ChartSvg(const Chart &chart);

// Ticks over [lo, hi] at a step of 1, 2 or 5 times a power of ten; `snap`
// widens the range to whole steps.
struct Ticks {
  double lo, hi, step;
  std::vector<double> at;
};
Ticks NiceTicks(double lo, double hi, bool snap);

// A tick value written with just the digits its step needs.
std::string TickLabel(double value, double step);

} // namespace voxeval

#endif
