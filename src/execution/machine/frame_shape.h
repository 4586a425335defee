// How deep the stack pointer stands below a function's return address,
// instruction by instruction: all the unwinder needs to find the caller of
// code that saves no register.
#ifndef VOXEVAL_EXECUTION_MACHINE_FRAME_SHAPE_H
#define VOXEVAL_EXECUTION_MACHINE_FRAME_SHAPE_H

#include <cstdint>
#include <vector>

// From byte `at` of the function on, the stack pointer is `depth` bytes
// below the return address's slot. A step made by allocating a frame
// (sub rsp) tells that instruction's length; others 0.
struct FRAME_STEP {
  std::uint32_t at;
  std::int32_t depth;
  std::uint32_t allocation = 0;
};

struct FRAME_SHAPE {
  // Bytes of instructions (constants after them are not code).
  std::uint32_t length = 0;
  // In the order of the code; the depth is 0 before the first.
  std::vector<FRAME_STEP> steps;
  // Where the system's own unwind data for the function starts in its
  // block, where the system wants it beside the code (Windows).
  std::uint32_t data = 0;
};

#endif
