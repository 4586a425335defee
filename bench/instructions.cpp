// Evaluates one bench formula a given number of times, by this library or
// by its native C++ function, and nothing else: bench/count-instructions
// runs it under qemu twice, with two counts, and divides the difference of
// the instructions executed by the difference of the counts. That gives
// instructions per evaluation on targets whose timings mean nothing here
// (ARM64 and 32-bit x86 under emulation).
//
//   voxeval_instructions library|native FORMULA COUNT
//   voxeval_instructions text TEXT COUNT
//
// FORMULA is the bench table's row number (1 for the first formula); text
// evaluates any TEXT by this library, with the bench's names.
#include "library_instances.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile double g_sink;

int Usage() {
  std::fprintf(stderr,
               "usage: voxeval_instructions library|native FORMULA COUNT\n"
               "       voxeval_instructions text TEXT COUNT\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4)
    return Usage();
  const bool text = std::strcmp(argv[1], "text") == 0;
  const bool library = text || std::strcmp(argv[1], "library") == 0;
  if (!library && std::strcmp(argv[1], "native") != 0)
    return Usage();
  const long count = std::strtol(argv[3], nullptr, 10);
  const long row = text ? 1 : std::strtol(argv[2], nullptr, 10);
  if (row < 1 || static_cast<unsigned long>(row) > BenchFormulaCount() ||
      count < 0)
    return Usage();

  const Formula &formula = BenchFormulas()[row - 1];
  const char *source = text ? argv[2] : formula.text;
  const Point &point = BenchPoints()[0];
  if (!library) {
    for (long k = 0; k < count; ++k)
      g_sink = formula.native(point);
    return 0;
  }
  LibraryInstances instances;
  if (!instances.Build(source, BenchPoints(), 1)) {
    std::fprintf(stderr, "does not compile: %s\n", source);
    return 1;
  }
  const IVOXExpression *expression = instances.raw[0];
  const std::uintptr_t context = reinterpret_cast<std::uintptr_t>(&point);
  for (long k = 0; k < count; ++k)
    g_sink = expression->Evaluate(context).second;
  return 0;
}
