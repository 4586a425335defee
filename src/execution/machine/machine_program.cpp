// Placing the code: laid out for where the arena's next block starts, so
// that variables within 2 GiB are read by displacement.
#include "execution/machine/machine_program.h"

#include "execution/machine/machine_writer.h"
#include "execution/machine/unwind_table.h"

#include <cstdint>
#include <cstring>
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

// Where to ask for the pages of code that reads the variable: in the GiB
// below it less 256 MiB (the heap grows upward from a free space), at a
// 64 KiB step chosen by salt, so that expressions compiled in turn seldom
// ask for the same place. Null for no variable.
const void *PlaceNear(const double *variable, const void *salt) {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(variable);
  const std::uintptr_t below = std::uintptr_t(1) << 28;
  const std::uintptr_t step = std::uintptr_t(1) << 16;
  const std::uintptr_t steps = (std::uintptr_t(1) << 30) / step;
  if (variable == nullptr || at < below + (steps + 1) * step)
    return nullptr;
  const std::uintptr_t mixed =
      (reinterpret_cast<std::uintptr_t>(salt) >> 4) * 0x9E3779B97F4A7C15ull;
  const std::uintptr_t k = (mixed >> 40) % steps;
  // An address to ask the system for, never read through.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  return reinterpret_cast<const void *>(((at - below) & ~(step - 1)) -
                                        k * step);
}

// The code for the given place (null: anywhere). False for plans the code
// does not take.
bool LayOut(const CVisitPlan &plan, MACHINE_FALLBACK fallback,
            const MACHINE_FEATURES &features, const void *place,
            std::vector<std::uint8_t> &code, FRAME_SHAPE &shape) {
  CMachineWriter there(plan, fallback, features, HostConvention(),
                       reinterpret_cast<std::uintptr_t>(place));
  if (!there.Write(code))
    return false;
  if (there.Reached()) {
    shape = there.Shape();
  } else {
    CMachineWriter anywhere(plan, fallback, features, HostConvention());
    if (!anywhere.Write(code))
      return false;
    shape = anywhere.Shape();
  }
  AppendUnwindData(code, shape);
  return true;
}

} // namespace
#endif

bool CMachineProgram::Build(const CVisitPlan &plan, CCodeArena &arena,
                            const MACHINE_FEATURES &features,
                            const void *salt) {
  Release();
#if defined(VOXEVAL_MACHINE_CODE)
  // Laid out for where the arena's next block starts. Should the block go
  // elsewhere (a new chunk), laid out again for that place, or, when that
  // is longer, for anywhere, in a block of its own if need be.
  const void *next = arena.Next();
  std::vector<std::uint8_t> code;
  FRAME_SHAPE shape;
  if (!LayOut(plan, m_fallback, features, next, code, shape))
    return false;
  const void *near = PlaceNear(FirstVariableOf(plan), salt);
  CODE_BLOCK block;
  if (!arena.Allocate(code.size(), near, block))
    return false;
  if (block.executable != next) {
    const std::size_t room = code.size();
    std::vector<std::uint8_t> placed;
    try {
      LayOut(plan, m_fallback, features, block.executable, placed, shape);
      if (placed.size() > room)
        LayOut(plan, m_fallback, features, nullptr, placed, shape);
    } catch (...) {
      CCodeArena::Free(block);
      throw;
    }
    code.swap(placed);
    if (code.size() > room) {
      CCodeArena::Free(block);
      if (!arena.Allocate(code.size(), near, block))
        return false;
    }
  }
  std::memcpy(block.writable, code.data(), code.size());
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
  (void)salt;
  return false;
#endif
}

void CMachineProgram::Release() {
  CCodeArena::Free(m_block);
  m_entry = m_fallback;
  m_code = &Unavailable;
}
