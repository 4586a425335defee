// Placing the code: laid out for its block, so that variables within 2 GiB
// are read by displacement.
#include "execution/machine/machine_program.h"

#include "execution/machine/machine_writer.h"
#include "execution/machine/unwind_table.h"

#include <cstdint>
#include <limits>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#define VOXEVAL_MACHINE_CODE 1
#endif

CMachineProgram::~CMachineProgram() { Release(); }

CMachineProgram::CMachineProgram(CMachineProgram &&other) noexcept
    : m_fallback(other.m_fallback), m_entry(other.m_entry),
      m_code(other.m_code), m_block(other.m_block) {
  other.m_block = CODE_BLOCK();
  other.m_entry = other.m_fallback;
  other.m_code = &Unavailable;
}

double CMachineProgram::Unavailable(const void *, std::uintptr_t) {
  return std::numeric_limits<double>::quiet_NaN();
}

#if defined(VOXEVAL_MACHINE_CODE)
namespace {

// The code for the given place (null: anywhere), its constants dataDistance
// bytes after it. False for plans the code does not take.
bool LayOut(const CVisitPlan &plan, MACHINE_FALLBACK fallback,
            const MACHINE_FEATURES &features, const void *place,
            std::size_t dataDistance, std::vector<std::uint8_t> &code,
            std::vector<std::uint8_t> &data, FRAME_SHAPE &shape) {
  CMachineWriter there(plan, fallback, features, HostConvention(),
                       reinterpret_cast<std::uintptr_t>(place));
  if (!there.Write(code, data, dataDistance))
    return false;
  if (there.Reached()) {
    shape = there.Shape();
  } else {
    CMachineWriter anywhere(plan, fallback, features, HostConvention());
    if (!anywhere.Write(code, data, dataDistance))
      return false;
    shape = anywhere.Shape();
  }
  AppendUnwindData(code, shape);
  return true;
}

// Code laid out for the place of laid fits in block: the same place, and
// room enough.
bool Fits(const CODE_BLOCK &block, const CODE_BLOCK &laid,
          const std::vector<std::uint8_t> &code,
          const std::vector<std::uint8_t> &data) {
  return block.executable == laid.executable &&
         block.dataDistance == laid.dataDistance &&
         code.size() <= block.units * CCodeArena::kUnit &&
         data.size() <= block.units * CCodeArena::kDataPerUnit;
}

} // namespace
#endif

bool CMachineProgram::Build(const CVisitPlan &plan, CCodeArena &arena,
                            const MACHINE_FEATURES &features) {
  Release();
#if defined(VOXEVAL_MACHINE_CODE)
  // Laid out for where the arena will likely put it; should the block go
  // elsewhere, laid out again for that place, or to run anywhere when that
  // is longer than the block, in a block of its own if need be.
  const double *variable = FirstVariableOf(plan);
  const CODE_BLOCK guess = arena.Guess(variable);
  std::vector<std::uint8_t> code, data;
  FRAME_SHAPE shape;
  if (!LayOut(plan, m_fallback, features, guess.executable,
              guess.executable != nullptr ? guess.dataDistance
                                          : CCodeArena::DataDistance(),
              code, data, shape))
    return false;
  CODE_BLOCK block;
  if (!arena.Allocate(code.size(), data.size(), variable, block))
    return false;
  try {
    if (!Fits(block, guess, code, data)) {
      LayOut(plan, m_fallback, features, block.executable, block.dataDistance,
             code, data, shape);
      if (!Fits(block, block, code, data))
        LayOut(plan, m_fallback, features, nullptr, block.dataDistance, code,
               data, shape);
    }
    if (!Fits(block, block, code, data)) {
      CCodeArena::Free(block);
      if (!arena.Allocate(code.size(), data.size(), variable, block))
        return false;
      LayOut(plan, m_fallback, features, nullptr, block.dataDistance, code,
             data, shape);
    }
  } catch (...) {
    CCodeArena::Free(block);
    throw;
  }
  if (!CCodeArena::Write(block, code, data)) {
    CCodeArena::Free(block);
    return false;
  }
  try {
    CCodeArena::Describe(block, shape);
  } catch (...) {
    CCodeArena::Free(block);
    throw;
  }
  m_block = block;
#if defined(VOXEVAL_MACHINE_PAIR)
  m_entry = reinterpret_cast<MACHINE_FALLBACK>(
      const_cast<void *>(m_block.executable));
#else
  m_code = reinterpret_cast<double (*)(const void *, std::uintptr_t)>(
      const_cast<void *>(m_block.executable));
#endif
  return true;
#else
  (void)plan;
  (void)arena;
  (void)features;
  return false;
#endif
}

void CMachineProgram::Release() {
  CCodeArena::Free(m_block);
  m_entry = m_fallback;
  m_code = &Unavailable;
}
