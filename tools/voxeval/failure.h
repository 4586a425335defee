// How voxeval reports a failure: a message for the user and the exit status
// that tells scripts what kind of failure it was.
#ifndef VOXEVAL_FAILURE_H
#define VOXEVAL_FAILURE_H

#include <string>

namespace voxeval {

// Exit statuses; --help lists them, keep both in step.
enum ExitCode {
  kExitOk = 0,
  kExitIo = 1,          // a file cannot be read or written, or no memory
  kExitUsage = 2,       // unknown option, missing or malformed option value
  kExitNoCompile = 3,   // a formula does not compile
  kExitAssignment = 4,  // a NAME=VALUE argument is malformed or not settable
  kExitData = 5,        // the CSV input is malformed
  kExitUtf8 = 6,        // text that is not valid UTF-8
  kExitCheckRejects = 7 // --check: compiles, but the syntax check rejects it
};

struct Failure {
  int code;
  std::string message; // may hold several lines, no trailing newline
};

} // namespace voxeval

#endif
