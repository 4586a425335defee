// Finds a name-table entry by its UTF-16 text without copying the text. A
// host sets its quantities by name at every point, so this runs as often
// as Evaluate: no allocation, no ordered walk, no write but to a word-sized
// memo of recent names.
#ifndef VOXEVAL_BUILDER_NAME_INDEX_H
#define VOXEVAL_BUILDER_NAME_INDEX_H

#include "builder/token.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CNameIndex {
public:
  typedef std::map<std::u16string, calc_nmspace::TOKEN> Table;

  CNameIndex();
  CNameIndex(const CNameIndex &) = delete;
  CNameIndex &operator=(const CNameIndex &) = delete;

  // Room for count keys, so that Insert and Rebuild up to that count cannot
  // fail. Throws std::bad_alloc and leaves the index as it was.
  void Reserve(std::size_t count);
  // The key must be the table's own key of the entry: the index keeps its
  // text, which lives as long as the entry.
  void Insert(const std::u16string &key, calc_nmspace::TOKEN &entry) noexcept;
  // Indexes the table's entries anew; the table must fit the room reserved.
  void Rebuild(Table &table) noexcept;
  void Clear() noexcept;

  calc_nmspace::TOKEN *Find(const char16_t *text, std::size_t length) const;
  // A NUL-terminated name, as a host passes it.
  calc_nmspace::TOKEN *Find(const char16_t *name) const {
    const Slot *slot =
        m_recent[RecentIndex(name)].load(std::memory_order_relaxed);
    if (slot != nullptr && SameName(name, slot->text, slot->length))
      return slot->entry;
    return FindAndRemember(name);
  }

private:
  struct Slot {
    const char16_t *text;
    std::size_t length;
    calc_nmspace::TOKEN *entry; // null: free
  };

  // A host passes the same literal every time, so recent names are kept by
  // their address; the content check keeps a reused buffer correct.
  static const std::size_t kRecentCount = 256;

  static std::size_t RecentIndex(const char16_t *name) {
    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(name);
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> 56);
  }

  // The name's units are read only while they match the key's, none of
  // which is NUL, so no unit past the name's end is touched.
  static bool SameName(const char16_t *name, const char16_t *key,
                       std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
      if (name[i] != key[i])
        return false;
    return name[length] == 0;
  }

  const Slot *Probe(const char16_t *text, std::size_t length) const;
  calc_nmspace::TOKEN *FindAndRemember(const char16_t *name) const;
  void Place(const char16_t *text, std::size_t length,
             calc_nmspace::TOKEN &entry) noexcept;
  void ForgetRecent() noexcept;

  // Open addressing with linear probing; a power of two, at most half full.
  std::vector<Slot> m_slots;
  std::size_t m_count;
  // Slots of m_slots; forgotten whenever a slot may move.
  mutable std::atomic<const Slot *> m_recent[kRecentCount];
};

#endif
