// Finds a name-table entry by its UTF-16 text without copying the text. A
// host sets its quantities by name at every point, so this runs as often
// as Evaluate: no allocation, no ordered walk, and no write but to a
// word-sized memo of recent names.
#ifndef VOXEVAL_BUILDER_NAME_INDEX_H
#define VOXEVAL_BUILDER_NAME_INDEX_H

#include "builder/token.h"

#include <boost/container/map.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Where a value set by name goes: a variable's storage, or a constant's own
// value ("pi", for texts parsed afterwards); null for every other kind.
double *ValueTarget(calc_nmspace::TOKEN &entry);

class CNameIndex {
public:
  // Transparent, so that a prefix of a text is looked up without a copy.
  // Boost's, whose tree is all in its headers: the Microsoft-ABI build has
  // no compiled C++ library to take a tree's balancing from.
  typedef boost::container::map<std::u16string, calc_nmspace::TOKEN,
                                std::less<>>
      Table;

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
  // What a remembered name is checked against. Written when the name is
  // first remembered, before it is published, and left alone until the
  // memo is forgotten.
  struct Recent;
  // The name remembered at this address, if any: the quick first step of a
  // host's SetValue, which must still check the name (SameText or
  // MatchHead, then SameTail).
  const Recent *Recall(const char16_t *name) const {
    return m_recent[RecentIndex(name)].load(std::memory_order_relaxed);
  }

private:
  struct Slot {
    const char16_t *text; // NUL-terminated, as the table's keys are
    std::size_t length;
    calc_nmspace::TOKEN *entry; // null: free
    double *target;             // ValueTarget(*entry)
  };

  // Units of a key copied for the 16-byte compare.
  static const std::size_t kHeadUnits = 16;

public:
  // Kept beside the slots rather than in them, so that the lexer's searches
  // through the slots stay compact.
  struct Recent {
    const char16_t *text;
    std::size_t length;
    double *target;
    // A bit for each byte of the key and its terminator; all bits from 64
    // bytes on.
    std::uint64_t span;
    // The key's first units, zeros after its terminator. The compare reads
    // 16 bytes starting up to 14 bytes before it, which the fields above
    // cover.
    char16_t head[kHeadUnits];
  };

  // Whether the name is the key of the record, read no further than it
  // matches: kSameSoFar leaves the units past the first 9 to 16 to
  // SameTail. Names of up to three units are best compared with SameText.
  enum Match { kDiffers, kSame, kSameSoFar };
  static Match MatchHead(const char16_t *name, const Recent &recent) {
#if defined(__SSE2__)
    return MatchWide(name, recent);
#else
    return SameText(name, recent.text) ? kSame : kDiffers;
#endif
  }

  // A host passes the same literal every time, so recent names are kept by
  // their address; the content check keeps a reused buffer correct. An
  // address has two places, side by side: the first is tried inline, the
  // second out of line, and a name goes to the second when the first is
  // taken, so two of a host's names that meet do not push each other out
  // at every call.
  static const std::size_t kRecentCount = 256;

  // The first of the address's two places.
  static std::size_t RecentIndex(const char16_t *name) {
    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(name);
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> 57)
           << 1;
  }

public:
  // The name's units are read only while they match the key's, up to the
  // key's terminating NUL, so no unit past the name's end is touched.
  // Unrolled so that a short name costs no taken branch.
  static bool SameText(const char16_t *name, const char16_t *key) {
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

private:
#if defined(__SSE2__)
  // The same answer, 8 units at a time: the name is read in 16-byte blocks
  // at 16-byte-aligned addresses, and the lanes outside the key (before the
  // name, past the key's terminator) are masked off before anything depends
  // on them. A block is read only when it holds at least one unit of the
  // name: the first one does, and a later one only once the block before
  // matched non-NUL key units to its end. An aligned block never crosses a
  // page, so nothing past the name's page is touched. The sanitizers see
  // bytes around the name being read (the host's neighbouring data, never
  // used), hence their exemption; valgrind accepts such aligned reads and
  // tracks the masked lanes as unused.
  __attribute__((no_sanitize_address, no_sanitize_thread)) static Match
  MatchWide(const char16_t *name, const Recent &slot) {
    static_assert(offsetof(Recent, head) >= 14, "reads before the head");
    unsigned offset;
    const __m128i *block = FirstBlock(name, offset);
    // Lane i of block k meets the key's byte 16 * k + i - offset.
    const char *key = reinterpret_cast<const char *>(slot.head) - offset;
    // One bit per byte of the key, its terminator included, counted from
    // the first block's start.
    const std::uint64_t want = slot.span << offset;
    if ((DifferingBytes(block, key) & want) != 0)
      return kDiffers;
    if (__builtin_expect(want <= 0xFFFF, 1))
      return kSame;
    if ((DifferingBytes(block + 1, key + 16) & (want >> 16)) != 0)
      return kDiffers;
    if (__builtin_expect(want <= 0xFFFFFFFF, 1))
      return kSame;
    return kSameSoFar;
  }

public:
  // After kSameSoFar: past the head, against the key's own text while a
  // whole block lies before its terminator, then unit by unit.
  __attribute__((no_sanitize_address, no_sanitize_thread)) static bool
  SameTail(const char16_t *name, const Recent &slot) {
    unsigned offset;
    const __m128i *block = FirstBlock(name, offset);
    const std::size_t end = offset + 2 * slot.length + 2;
    const char *text = reinterpret_cast<const char *>(slot.text) - offset;
    std::size_t at = 32;
    for (; at + 16 <= end; at += 16)
      if (DifferingBytes(block + at / 16, text + at) != 0)
        return false;
    if (at == end)
      return true;
    const std::size_t done = (at - offset) / 2;
    return SameText(name + done, slot.text + done);
  }

private:
  // The 16-byte-aligned block holding the name's first unit, and the
  // name's byte offset in it. From the address as an integer: pointer
  // arithmetic on the name would show the compiler a read outside the
  // host's array, which is what these reads are, on purpose.
  static const __m128i *FirstBlock(const char16_t *name, unsigned &offset) {
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(name);
    offset = static_cast<unsigned>(address) & 15u;
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return reinterpret_cast<const __m128i *>(address & ~std::uintptr_t(15));
  }

  // One bit per byte of the aligned block that differs from the key's.
  __attribute__((no_sanitize_address, no_sanitize_thread)) static unsigned
  DifferingBytes(const __m128i *block, const char *key) {
    const __m128i same = _mm_cmpeq_epi16(
        _mm_load_si128(block),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(key)));
    return static_cast<unsigned>(_mm_movemask_epi8(same)) ^ 0xFFFFu;
  }
#else
public:
  static bool SameTail(const char16_t *name, const Recent &recent) {
    return SameText(name, recent.text);
  }

private:
#endif

  const Slot *Probe(const char16_t *text, std::size_t length) const;
  void Place(const char16_t *text, std::size_t length,
             calc_nmspace::TOKEN &entry) noexcept;
  void ForgetRecent() noexcept;

  // Records of m_records whose names take a value; forgotten whenever a
  // slot may move or its entry change kind.
  mutable std::atomic<const Recent *> m_recent[kRecentCount];
  // Open addressing with linear probing; a power of two of slots, at most
  // two thirds of them used.
  std::vector<Slot> m_slots;
  // One for each slot, same position; filled only for names remembered.
  std::unique_ptr<Recent[]> m_records;
  std::size_t m_count;
};

#endif
