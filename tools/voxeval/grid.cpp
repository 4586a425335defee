#include "grid.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace voxeval {

double AxisValue(const GridAxis &axis, std::size_t i) {
  if (axis.count == 1)
    return axis.start;
  if (i + 1 == axis.count)
    return axis.stop;
  const double f = static_cast<double>(i) / static_cast<double>(axis.count - 1);
  const double exact = axis.start + (axis.stop - axis.start) * f;
  // 0:0.3:4 should give 0.1, not 0.09999999999999999: take the value's 15
  // digit form when it lies within a sliver of the step.
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", exact);
  const double rounded = std::strtod(text, nullptr);
  const double sliver = std::fabs(axis.stop - axis.start) * 1e-13;
  return std::fabs(rounded - exact) <= sliver ? rounded : exact;
}

std::size_t GridRows(const std::vector<GridAxis> &grid) {
  std::size_t rows = 1;
  for (const GridAxis &axis : grid)
    rows *= axis.count;
  return rows;
}

std::vector<double> GridCursor::Values() const {
  std::vector<double> values(m_grid.size());
  for (std::size_t k = 0; k < m_grid.size(); ++k)
    values[k] = AxisValue(m_grid[k], m_index[k]);
  return values;
}

bool GridCursor::Next() {
  for (std::size_t k = m_grid.size(); k-- > 0;) {
    if (++m_index[k] < m_grid[k].count)
      return true;
    m_index[k] = 0;
  }
  return false;
}

} // namespace voxeval
