#include "builder/name_index.h"

#include <cstring>

using calc_nmspace::TOKEN;

namespace {

std::uint64_t Mix(std::uint64_t hash, std::uint64_t word) {
  hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
  return hash ^ (hash >> 32);
}

// Four units to a word and one multiply per word.
std::uint64_t Hash(const char16_t *text, std::size_t length) {
  std::uint64_t hash = length * 0xFF51AFD7ED558CCDull;
  std::size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    std::uint64_t word;
    std::memcpy(&word, text + i, sizeof word);
    hash = Mix(hash, word);
  }
  std::uint64_t rest = 0;
  for (; i < length; ++i)
    rest = (rest << 16) | text[i];
  return Mix(hash, rest);
}

std::size_t NameLength(const char16_t *name) {
  std::size_t length = 0;
  while (name[length] != 0)
    ++length;
  return length;
}

} // namespace

double *ValueTarget(TOKEN &entry) {
  if (entry.type == TT_DOUBLE_REF)
    return entry.value.dref;
  if (entry.type == TT_DOUBLE)
    return &entry.value.dval;
  return nullptr;
}

CNameIndex::CNameIndex() : m_count(0) { ForgetRecent(); }

void CNameIndex::Reserve(std::size_t count) {
  if (count <= m_slots.size() / 3 * 2)
    return;
  std::size_t size = 16;
  while (size / 3 * 2 < count)
    size *= 2;
  std::vector<Slot> slots(size, Slot());
  std::unique_ptr<Recent[]> records(new Recent[size]);
  ForgetRecent();
  m_slots.swap(slots);
  m_records.swap(records);
  m_count = 0;
  for (const Slot &slot : slots)
    if (slot.entry != nullptr)
      Place(slot.text, slot.length, *slot.entry);
}

void CNameIndex::Insert(const std::u16string &key, TOKEN &entry) noexcept {
  Place(key.data(), key.size(), entry);
}

void CNameIndex::Changed(const std::u16string &key) noexcept {
  Slot *slot = const_cast<Slot *>(Probe(key.data(), key.size()));
  if (slot == nullptr)
    return;
  ForgetRecent();
  slot->target = ValueTarget(*slot->entry);
}

void CNameIndex::Rebuild(Table &table) noexcept {
  ForgetRecent();
  for (Slot &slot : m_slots)
    slot = Slot();
  m_count = 0;
  for (Table::value_type &item : table)
    Insert(item.first, item.second);
}

// The room goes too: a builder being destroyed need not wipe it first.
void CNameIndex::Clear() noexcept {
  ForgetRecent();
  std::vector<Slot>().swap(m_slots);
  m_records.reset();
  m_count = 0;
}

TOKEN *CNameIndex::Find(const char16_t *text, std::size_t length) const {
  const Slot *slot = Probe(text, length);
  return slot != nullptr ? slot->entry : nullptr;
}

const CNameIndex::Slot *CNameIndex::Probe(const char16_t *text,
                                          std::size_t length) const {
  if (m_count == 0)
    return nullptr;
  const std::size_t mask = m_slots.size() - 1;
  for (std::size_t i = Hash(text, length) & mask;; i = (i + 1) & mask) {
    const Slot &slot = m_slots[i];
    if (slot.entry == nullptr)
      return nullptr;
    if (slot.length == length &&
        std::memcmp(slot.text, text, length * sizeof(char16_t)) == 0)
      return &slot;
  }
}

double *CNameIndex::FindTarget(const char16_t *text, std::size_t length) const {
  const Slot *slot = Probe(text, length);
  return slot != nullptr ? slot->target : nullptr;
}

double *CNameIndex::FindTargetAndRemember(const char16_t *name) const {
  const std::size_t first = RecentIndex(name);
  const Recent *second = m_recent[first + 1].load(std::memory_order_relaxed);
  if (second != nullptr && SameText(name, second->text))
    return second->target;
  const Slot *slot = Probe(name, NameLength(name));
  if (slot == nullptr || slot->target == nullptr)
    return nullptr;
  Recent &recent = m_records[static_cast<std::size_t>(slot - m_slots.data())];
  recent.text = slot->text;
  recent.length = slot->length;
  recent.target = slot->target;
  const std::size_t bytes = 2 * (slot->length + 1);
  recent.span =
      bytes >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << bytes) - 1;
  for (std::size_t unit = 0; unit < kHeadUnits; ++unit)
    recent.head[unit] = unit < slot->length ? slot->text[unit] : u'\0';
  const bool firstTaken =
      m_recent[first].load(std::memory_order_relaxed) != nullptr;
  m_recent[first + (firstTaken ? 1 : 0)].store(&recent,
                                               std::memory_order_relaxed);
  return slot->target;
}

// Callers have reserved the room, so there is always a free slot.
void CNameIndex::Place(const char16_t *text, std::size_t length,
                       TOKEN &entry) noexcept {
  const std::size_t mask = m_slots.size() - 1;
  std::size_t i = Hash(text, length) & mask;
  while (m_slots[i].entry != nullptr)
    i = (i + 1) & mask;
  m_slots[i].text = text;
  m_slots[i].length = length;
  m_slots[i].entry = &entry;
  m_slots[i].target = ValueTarget(entry);
  ++m_count;
}

void CNameIndex::ForgetRecent() noexcept {
  for (std::atomic<const Recent *> &recent : m_recent)
    recent.store(nullptr, std::memory_order_relaxed);
}
