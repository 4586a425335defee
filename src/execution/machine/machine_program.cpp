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

bool CMachineProgram::Build(const CVisitPlan &plan, CCodeArena &arena,
                            const MACHINE_FEATURES &features) {
  Release();
#if defined(VOXEVAL_MACHINE_CODE)
  // Laid out once, to run wherever its block lands; then pointed at its
  // constants there.
  CMachineWriter writer(plan, m_fallback, features, HostConvention());
  std::vector<std::uint8_t> code, data;
  if (!writer.Write(code, data))
    return false;
  FRAME_SHAPE shape = writer.Shape();
  AppendUnwindData(code, shape);
  CODE_BLOCK block;
  if (!arena.Allocate(code.size(), data.size(), block))
    return false;
  writer.Link(code, block.dataDistance);
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
