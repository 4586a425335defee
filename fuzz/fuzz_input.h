// Fuzzer bytes as a stream of values. Text is read so that seeds and
// dictionary entries stay readable: an ASCII byte is its own unit, 0xFF takes
// the next two bytes (little-endian) as any 16-bit unit, lone surrogates
// included, and every other byte is the Latin-1 unit of the same number.
#ifndef VOXEVAL_FUZZ_FUZZ_INPUT_H
#define VOXEVAL_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>

class FuzzInput {
public:
  FuzzInput(const std::uint8_t *data, std::size_t size)
      : m_data(data), m_size(size), m_next(0) {}

  bool AtEnd() const { return m_next >= m_size; }

  // The next byte, 0 once the input is used up.
  std::uint8_t Byte() { return AtEnd() ? 0 : m_data[m_next++]; }

  // The next 16-bit unit.
  char16_t Unit() {
    const std::uint8_t b = Byte();
    if (b != 0xFF)
      return static_cast<char16_t>(b);
    const std::uint8_t low = Byte();
    return static_cast<char16_t>(low | Byte() << 8);
  }

  // Up to maxUnits units, fewer when the input ends first. A zero unit is
  // kept: the library reads the text up to it, as it would from a host.
  std::u16string Text(std::size_t maxUnits) {
    std::u16string text;
    while (!AtEnd() && text.size() < maxUnits)
      text += Unit();
    return text;
  }

private:
  const std::uint8_t *m_data;
  std::size_t m_size;
  std::size_t m_next;
};

#endif
