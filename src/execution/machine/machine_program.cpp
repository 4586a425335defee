#include "execution/machine/machine_program.h"

#include "execution/machine/machine_writer.h"
#include "execution/machine/unwind_table.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(VOXEVAL_MACHINE_CODE)
// The code stores the pair's double where the convention has it.
static_assert(offsetof(MACHINE_PAIR, second) ==
                  static_cast<std::size_t>(HostConvention().pairValue),
              "the pair's layout is not the convention's");
#endif

#if defined(VOXEVAL_PAIR_THROUGH_POINTER)
#if defined(_M_IX86) && defined(_MSC_VER)
MACHINE_PAIR *__fastcall HandOver(const void *owner, MACHINE_FALLBACK fallback,
                                  MACHINE_PAIR *result,
                                  std::uintptr_t context) {
#elif defined(__i386__)
MACHINE_PAIR *__fastcall HandOver(MACHINE_PAIR *result,
                                  MACHINE_FALLBACK fallback, const void *owner,
                                  std::uintptr_t context) {
#elif defined(_MSC_VER)
MACHINE_PAIR *HandOver(const void *owner, MACHINE_PAIR *result,
                       std::uintptr_t context, MACHINE_FALLBACK fallback) {
#else
MACHINE_PAIR *HandOver(MACHINE_PAIR *result, const void *owner,
                       std::uintptr_t context, MACHINE_FALLBACK fallback) {
#endif
  *result = fallback(owner, context);
  return result;
}
#endif

CMachineProgram::~CMachineProgram() { Release(); }

CMachineProgram::CMachineProgram(CMachineProgram &&other) noexcept
    : m_fallback(other.m_fallback), m_entry(other.m_entry),
      m_block(other.m_block) {
  other.m_block = CODE_BLOCK();
  other.m_entry = NoCode(other.m_fallback);
}

MACHINE_ENTRY CMachineProgram::NoCode(MACHINE_FALLBACK fallback) {
#if defined(VOXEVAL_PAIR_THROUGH_POINTER)
  (void)fallback;
  return &HandOver;
#else
  return fallback;
#endif
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
  writer.Link(code, reinterpret_cast<std::uintptr_t>(block.executable),
              block.dataDistance);
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
  m_entry =
      reinterpret_cast<MACHINE_ENTRY>(const_cast<void *>(m_block.executable));
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
  m_entry = NoCode(m_fallback);
}
