#include "progress.h"

#include <cstdio>
#if defined(_WIN32)
#include <io.h>
#define VOXEVAL_STDERR_IS_TERMINAL() (_isatty(_fileno(stderr)) != 0)
#else
#include <unistd.h>
#define VOXEVAL_STDERR_IS_TERMINAL() (isatty(STDERR_FILENO) != 0)
#endif

namespace voxeval {

Progress::Progress(std::size_t total)
    : m_enabled(VOXEVAL_STDERR_IS_TERMINAL()), m_total(total),
      m_start(Clock::now()), m_last(m_start) {}

Progress::~Progress() {
  if (m_shown)
    std::fprintf(stderr, "\r%60s\r", "");
}

void Progress::Update() {
  const Clock::time_point now = Clock::now();
  if (now - m_start < std::chrono::seconds(1) ||
      now - m_last < std::chrono::milliseconds(200))
    return;
  m_last = now;
  m_shown = true;
  std::fprintf(stderr, "\rvoxeval: %s ", ProgressText(m_done, m_total).c_str());
  std::fflush(stderr);
}

std::string ProgressText(std::size_t done, std::size_t total) {
  if (total == 0)
    return std::to_string(done) + " rows";
  return std::to_string(done) + " of " + std::to_string(total) + " rows (" +
         std::to_string(done * 100 / total) + "%)";
}

} // namespace voxeval
