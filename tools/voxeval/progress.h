// A progress line on standard error for batch runs that take more than a
// second, and only when standard error is a terminal.
#ifndef VOXEVAL_PROGRESS_H
#define VOXEVAL_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <string>

namespace voxeval {

class Progress {
public:
  // `total` is 0 when the number of rows is not known beforehand.
  explicit Progress(std::size_t total);
  ~Progress();
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  // Called once per row; cheap unless a line is due.
  void Row() {
    if (m_enabled && (++m_done & 1023) == 0)
      Update();
  }

private:
  void Update();

  using Clock = std::chrono::steady_clock;
  bool m_enabled;
  bool m_shown = false;
  std::size_t m_total;
  std::size_t m_done = 0;
  Clock::time_point m_start;
  Clock::time_point m_last;
};

// "12000 of 50000 rows (24%)" or "12000 rows".
std::string ProgressText(std::size_t done, std::size_t total);

} // namespace voxeval

#endif
