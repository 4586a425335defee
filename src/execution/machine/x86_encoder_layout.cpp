// The encoder's layout of the code, apart from the instructions' bytes:
// labels and the jumps to them, the stack pointer's depth for the unwinder,
// code put before, and the finish: jumps pointed at their labels, the pool
// given as data, its users pointed at it once the code has its place; and
// the listing's lines.
#include "execution/machine/x86_encoder.h"

#include <cstdint>
#include <cstring>

namespace {

const std::uint32_t kUnbound = ~std::uint32_t(0);
const std::int32_t kNoDepth = INT32_MIN;

} // namespace

Label CX86Encoder::NewLabel() {
  m_labels.push_back(kUnbound);
  m_labelDepths.push_back(kNoDepth);
  return Label{m_labels.size() - 1};
}

// The jumps to the label are pointed at it when the code is finished.
void CX86Encoder::Bind(Label label) {
  m_labels[label.id] = Here();
  if (m_listing)
    Line(".L" + std::to_string(label.id) + ":");
  // Reached by jumps only, after a ret or jmp, so at their depth.
  if (m_labelDepths[label.id] != kNoDepth)
    Depth(m_labelDepths[label.id]);
}

void CX86Encoder::JumpTo(Label label) {
  if (m_labelDepths[label.id] == kNoDepth)
    m_labelDepths[label.id] = m_depth;
}

void CX86Encoder::Depth(std::int32_t depth, std::uint32_t allocation) {
  if (depth == m_depth)
    return;
  m_depth = depth;
  const std::uint32_t at = static_cast<std::uint32_t>(m_code.size());
  if (!m_steps.empty() && m_steps.back().at == at)
    m_steps.back() = FRAME_STEP{at, depth, allocation};
  else
    m_steps.push_back(FRAME_STEP{at, depth, allocation});
}

FRAME_SHAPE CX86Encoder::Shape() const {
  FRAME_SHAPE shape;
  shape.length = static_cast<std::uint32_t>(
      m_instructions != 0 ? m_instructions : m_code.size());
  shape.steps.assign(m_steps.begin(), m_steps.end());
  return shape;
}

void CX86Encoder::Reserve(std::size_t bytes, std::size_t constants,
                          std::size_t jumps, std::size_t labels) {
  m_code.reserve(bytes);
  m_poolUses.reserve(constants);
  m_jumps.reserve(jumps);
  m_labels.reserve(labels);
  m_labelDepths.reserve(labels);
}

void CX86Encoder::Prepend(const CX86Encoder &other) {
  const std::uint32_t n = static_cast<std::uint32_t>(other.m_code.size());
  m_code.insert(m_code.begin(), other.m_code.begin(), other.m_code.end());
  for (Use &use : m_poolUses)
    use.at += n;
  for (Use &jump : m_jumps)
    jump.at += n;
  for (Use &use : m_labelAddresses)
    use.at += n;
  for (std::uint32_t &label : m_labels) {
    if (label != kUnbound)
      label += n;
  }
  m_lines.insert(m_lines.begin(), other.m_lines.begin(), other.m_lines.end());
  // This code starts at the depth where the other's ends.
  for (FRAME_STEP &step : m_steps) {
    step.at += n;
    step.depth += other.m_depth;
  }
  m_steps.insert(m_steps.begin(), other.m_steps.begin(), other.m_steps.end());
  m_depth += other.m_depth;
}

bool CX86Encoder::Finish(std::vector<std::uint8_t> &data) {
  m_instructions = m_code.size();
  // Each jump once, whatever the number of labels: a compile stays linear
  // in the length of the code.
  if (m_code.size() > kMaxCode)
    return false;
  for (const Use &jump : m_jumps) {
    if (m_labels[jump.index] == kUnbound)
      return false;
    const std::uint32_t distance =
        static_cast<std::uint32_t>(m_labels[jump.index] - (jump.at + 4));
    std::memcpy(&m_code[jump.at], &distance, 4);
  }
  for (const Use &use : m_labelAddresses) {
    if (m_labels[use.index] == kUnbound)
      return false;
    std::memcpy(&m_code[use.at], &m_labels[use.index], 4);
  }
  data.clear();
  data.reserve(8 * m_pool.size());
  for (std::uint64_t bits : m_pool) {
    for (int i = 0; i < 8; ++i)
      data.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }
  return true;
}

void CX86Encoder::Link(std::vector<std::uint8_t> &code, std::uintptr_t address,
                       std::size_t dataDistance) const {
  // 64-bit code reads its constants relative to the next instruction.
  for (const Use &use : m_poolUses) {
    const std::uintptr_t constant = dataDistance + 8 * std::size_t(use.index);
    const std::uint32_t field = static_cast<std::uint32_t>(
        m_wide ? constant - (use.at + 4) : address + constant);
    std::memcpy(&code[use.at], &field, 4);
  }
  for (const Use &use : m_labelAddresses) {
    std::uint32_t offset;
    std::memcpy(&offset, &code[use.at], 4);
    const std::uint32_t field = static_cast<std::uint32_t>(address + offset);
    std::memcpy(&code[use.at], &field, 4);
  }
}

void CX86Encoder::Line(const std::string &text) { m_lines.push_back(text); }

std::string CX86Encoder::Listing() const {
  std::string text;
  for (const std::string &line : m_lines) {
    if (line.empty() || line[0] != '.')
      text += "  ";
    text += line + "\n";
  }
  return text;
}
