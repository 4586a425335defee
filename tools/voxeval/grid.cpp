#include "grid.h"

namespace voxeval {

double AxisValue(const GridAxis &axis, std::size_t i) {
  if (axis.count == 1)
    return axis.start;
  if (i + 1 == axis.count)
    return axis.stop;
  // Interpolated from both ends so that no rounding error piles up.
  const double f = static_cast<double>(i) / static_cast<double>(axis.count - 1);
  return axis.start + (axis.stop - axis.start) * f;
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
