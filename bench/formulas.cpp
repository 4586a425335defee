#include "formulas.h"

#include <cmath>

namespace {

// The callback is a host function: a native formula calls it through a
// pointer, just as the library does.
double (*volatile g_callback)(std::uintptr_t) = PointCallback;

double Cb(const Point &p) {
  return g_callback(reinterpret_cast<std::uintptr_t>(&p));
}

using std::cos;
using std::exp;
using std::log;
using std::sin;
using std::tan;

// clang-format off
const Formula kFormulas[] = {
  {"2*x+sin(t)", [](const Point &p) { return 2 * p.x + sin(p.t); }},
  {"x*y+z*t", [](const Point &p) { return p.x * p.y + p.z * p.t; }},
  {"(x+1)*(y-2)/(z+3)", [](const Point &p) { return (p.x + 1) * (p.y - 2) / (p.z + 3); }},
  {"sin(x)*cos(y)+exp(-z)", [](const Point &p) { return sin(p.x) * cos(p.y) + exp(-p.z); }},
  {"x^2+y^2+z^2", [](const Point &p) { return p.x * p.x + p.y * p.y + p.z * p.z; }},
  {"a+b*c-x/y", [](const Point &p) { return p.a + p.b * p.c - p.x / p.y; }},
  {"exp(-(x*x+y*y)/(2*a))*cos(t)", [](const Point &p) { return exp(-(p.x * p.x + p.y * p.y) / (2 * p.a)) * cos(p.t); }},
  {"((((x+1)*2+3)*4+5)*6+7)", [](const Point &p) { return (((p.x + 1) * 2 + 3) * 4 + 5) * 6 + 7; }},
  {"x", [](const Point &p) { return p.x; }},
  {"1+2*3-4/5", [](const Point &) { return 1 + 2 * 3 - 4 / 5.0; }},
  {"a*x^2+b*x+c-(y*y+z*z)/(1+t)+sin(x)*cos(y)*tan(z/10)+log(1+a*a)",
   [](const Point &p) { return p.a * p.x * p.x + p.b * p.x + p.c - (p.y * p.y + p.z * p.z) / (1 + p.t) + sin(p.x) * cos(p.y) * tan(p.z / 10) + log(1 + p.a * p.a); }},
  // Polynomials, Horner form, Gaussians, long sums, deep parentheses,
  // callbacks: the shapes of real boundary conditions and material laws.
  {"a*x^3+b*x^2+c*x+w", [](const Point &p) { return p.a * (p.x * p.x * p.x) + p.b * (p.x * p.x) + p.c * p.x + p.w; }},
  {"((a*x+b)*x+c)*x+w", [](const Point &p) { return ((p.a * p.x + p.b) * p.x + p.c) * p.x + p.w; }},
  {"exp(-((x-a)^2+(y-b)^2)/(2*w^2))", [](const Point &p) { return exp(-((p.x - p.a) * (p.x - p.a) + (p.y - p.b) * (p.y - p.b)) / (2 * (p.w * p.w))); }},
  {"x+y+z+t+a+b+c+w+x*y+z*t+a*b+c*w", [](const Point &p) { return p.x + p.y + p.z + p.t + p.a + p.b + p.c + p.w + p.x * p.y + p.z * p.t + p.a * p.b + p.c * p.w; }},
  {"(((((((x+y)*z)-t)*a)+b)/c)-w)", [](const Point &p) { return ((((((p.x + p.y) * p.z) - p.t) * p.a) + p.b) / p.c) - p.w; }},
  {"x*y*z*t*a*b*c*w", [](const Point &p) { return p.x * p.y * p.z * p.t * p.a * p.b * p.c * p.w; }},
  {"0.5*a*(x-b)*(x-b)+c", [](const Point &p) { return 0.5 * p.a * (p.x - p.b) * (p.x - p.b) + p.c; }},
  {"sin(x)^2+cos(x)^2", [](const Point &p) { return sin(p.x) * sin(p.x) + cos(p.x) * cos(p.x); }},
  {"exp(-t/w)*sin(2*pi*x/a)", [](const Point &p) { return exp(-p.t / p.w) * sin(2 * kPi * p.x / p.a); }},
  {"1/(1+exp(-(a*x+b)))", [](const Point &p) { return 1 / (1 + exp(-(p.a * p.x + p.b))); }},
  {"(x+y)*(x-y)/(x*x+y*y+1)", [](const Point &p) { return (p.x + p.y) * (p.x - p.y) / (p.x * p.x + p.y * p.y + 1); }},
  {"log(1+x*x)/log(10)", [](const Point &p) { return log(1 + p.x * p.x) / log(10.0); }},
  {"t*(1-t)*(x*(1-x)+y*(1-y))", [](const Point &p) { return p.t * (1 - p.t) * (p.x * (1 - p.x) + p.y * (1 - p.y)); }},
  {"2*cb()+x*w", [](const Point &p) { return 2 * Cb(p) + p.x * p.w; }},
  {"w*exp(-cb()*t)", [](const Point &p) { return p.w * exp(-Cb(p) * p.t); }},
  {"7*x^7+6*x^6+5*x^5+4*x^4+3*x^3+2*x^2+x+0.1", [](const Point &p) { const double x = p.x; return 7 * (x * x * x * x * x * x * x) + 6 * (x * x * x * x * x * x) + 5 * (x * x * x * x * x) + 4 * (x * x * x * x) + 3 * (x * x * x) + 2 * (x * x) + x + 0.1; }},
};
// clang-format on

Point MakePoint(std::size_t k) {
  Point p;
  p.x = 0.3 + 0.01 * k;
  p.y = 0.7 - 0.013 * k;
  p.z = 1.1 + 0.007 * k;
  p.t = 0.25 + 0.05 * k;
  p.a = k % 2 == 0 ? 1.5 : 2.5;
  p.b = k % 2 == 0 ? 2.5 : 1.5;
  p.c = -0.75 + 0.003 * k;
  p.w = 0.6 + 0.02 * k;
  p.q = 0.8 + 0.002 * k;
  return p;
}

struct PointTable {
  Point points[kPointCount];
  PointTable() {
    for (std::size_t k = 0; k < kPointCount; ++k)
      points[k] = MakePoint(k);
  }
};

} // namespace

const Point *BenchPoints() {
  static const PointTable table;
  return table.points;
}

double PointCallback(std::uintptr_t context) {
  return reinterpret_cast<const Point *>(context)->q;
}

const Formula *BenchFormulas() { return kFormulas; }

std::size_t BenchFormulaCount() {
  return sizeof kFormulas / sizeof kFormulas[0];
}
