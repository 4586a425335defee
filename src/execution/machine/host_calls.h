// What machine code calls beside the C library: the host's callbacks, by
// way of a catcher, and the rethrow of what they threw. (host_calls.cpp
// also defines DetectedMachineFeatures, declared in machine_program.h.)
#ifndef VOXEVAL_EXECUTION_MACHINE_HOST_CALLS_H
#define VOXEVAL_EXECUTION_MACHINE_HOST_CALLS_H

#include "evaluation/stoken.h"

#include <cstdint>

// Calls the host's callback. What it throws is kept on the heap and its
// address left in *thrown, for the code to hand to Rethrow; 0.0 then. An
// unwind that is no C++ exception (the thread ending inside the callback)
// is left in *thrown as the runtime's own record, and resumed by Rethrow.
double CallHost(EVAL_CALLBACK callback, std::uintptr_t context, void **thrown);

// Jumped to with the host's return address on the stack: throws on from
// there what CallHost kept.
[[noreturn]] void Rethrow(void *thrown);

#endif
