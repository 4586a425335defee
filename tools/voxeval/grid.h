// Points of a Cartesian grid; the first axis varies slowest.
#ifndef VOXEVAL_GRID_H
#define VOXEVAL_GRID_H

#include "options.h"

#include <vector>

namespace voxeval {

// The i-th of the axis' evenly spaced values; the last is exactly `stop`.
double AxisValue(const GridAxis &axis, std::size_t i);

std::size_t GridRows(const std::vector<GridAxis> &grid);

// Steps through the grid's points in row order.
class GridCursor {
public:
  explicit GridCursor(const std::vector<GridAxis> &grid)
      : m_grid(grid), m_index(grid.size(), 0) {}

  // The values of the current point, one per axis.
  std::vector<double> Values() const;

  // Moves to the next point; false after the last one.
  bool Next();

private:
  const std::vector<GridAxis> &m_grid;
  std::vector<std::size_t> m_index;
};

} // namespace voxeval

#endif
