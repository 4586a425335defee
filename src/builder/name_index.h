// Finds a name-table entry by its UTF-16 text without copying the text. A
// host sets its quantities by name at every point, so this runs as often
// as Evaluate: no allocation, no ordered walk, and no write but to a
// word-sized memo of recent names.
#ifndef VOXEVAL_BUILDER_NAME_INDEX_H
#define VOXEVAL_BUILDER_NAME_INDEX_H

#include "builder/token.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Where a value set by name goes: a variable's storage, or a constant's own
// value ("pi", for texts parsed afterwards); null for every other kind.
double *ValueTarget(calc_nmspace::TOKEN &entry);

class CNameIndex {
public:
  // Transparent, so that a prefix of a text is looked up without a copy.
  typedef std::map<std::u16string, calc_nmspace::TOKEN, std::less<>> Table;

  CNameIndex();
  CNameIndex(const CNameIndex &) = delete;
  CNameIndex &operator=(const CNameIndex &) = delete;

  // Room for count keys, so that Insert and Rebuild up to that count cannot
  // fail. Throws std::bad_alloc and leaves the index as it was.
  void Reserve(std::size_t count);
  // The key must be the table's own key of the entry: the index keeps its
  // text, which lives as long as the entry.
  void Insert(const std::u16string &key, calc_nmspace::TOKEN &entry) noexcept;
  // After the entry of an indexed key changed its kind.
  void Changed(const std::u16string &key) noexcept;
  // Indexes the table's entries anew; the table must fit the room reserved.
  void Rebuild(Table &table) noexcept;
  // Forgets every key and the room reserved.
  void Clear() noexcept;

  calc_nmspace::TOKEN *Find(const char16_t *text, std::size_t length) const;
  double *FindTarget(const char16_t *text, std::size_t length) const;
  // For a NUL-terminated name, as a host passes it; remembers the names
  // that take a value by their address, for SetRecent.
  double *FindTargetAndRemember(const char16_t *name) const;
  // Stores the value when the name was found at the same address before,
  // the quick first step of a host's SetValue; false otherwise.
  bool SetRecent(const char16_t *name, const double &value) const {
    const Slot *slot =
        m_recent[RecentIndex(name)].load(std::memory_order_relaxed);
    if (slot == nullptr || !SameName(name, slot->text))
      return false;
    *slot->target = value;
    return true;
  }

private:
  struct Slot {
    const char16_t *text; // NUL-terminated, as the table's keys are
    std::size_t length;
    calc_nmspace::TOKEN *entry; // null: free
    double *target;             // ValueTarget(*entry)
  };

  // A host passes the same literal every time, so recent names are kept by
  // their address; the content check keeps a reused buffer correct.
  static const std::size_t kRecentCount = 256;

  static std::size_t RecentIndex(const char16_t *name) {
    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(name);
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> 56);
  }

  // The name's units are read only while they match the key's, up to the
  // key's terminating NUL, so no unit past the name's end is touched.
  // Unrolled so that a short name costs no taken branch.
  static bool SameName(const char16_t *name, const char16_t *key) {
    for (;; name += 4, key += 4) {
      if (__builtin_expect(name[0] != key[0], 0))
        return false;
      if (__builtin_expect(key[0] == 0, 0))
        return true;
      if (__builtin_expect(name[1] != key[1], 0))
        return false;
      if (__builtin_expect(key[1] == 0, 0))
        return true;
      if (__builtin_expect(name[2] != key[2], 0))
        return false;
      if (__builtin_expect(key[2] == 0, 0))
        return true;
      if (__builtin_expect(name[3] != key[3], 0))
        return false;
      if (__builtin_expect(key[3] == 0, 0))
        return true;
    }
  }

  const Slot *Probe(const char16_t *text, std::size_t length) const;
  void Place(const char16_t *text, std::size_t length,
             calc_nmspace::TOKEN &entry) noexcept;
  void ForgetRecent() noexcept;

  // Slots of m_slots whose names take a value; forgotten whenever a slot
  // may move or its entry change kind.
  mutable std::atomic<const Slot *> m_recent[kRecentCount];
  // Open addressing with linear probing; a power of two of slots, at most
  // two thirds of them used.
  std::vector<Slot> m_slots;
  std::size_t m_count;
};

#endif
