// Comma-separated values in and out. Fields may be quoted with '"' ("" is a
// quote inside a quoted field); a quoted field cannot span lines.
#ifndef VOXEVAL_CSV_H
#define VOXEVAL_CSV_H

#include <cstdio>
#include <istream>
#include <string>
#include <vector>

namespace voxeval {

class CsvReader {
public:
  explicit CsvReader(std::istream &in) : m_in(in) {}

  // The next row that is not empty; false at the end of the input. Throws
  // Failure (malformed quoting) naming the line.
  bool ReadRow(std::vector<std::string> &fields);

  // The line the last row came from, counting from 1.
  std::size_t Line() const { return m_line; }

private:
  std::istream &m_in;
  std::size_t m_line = 0;
};

// Quotes a field only when it needs it.
std::string CsvField(const std::string &text);

// Writes one row and a line feed.
void WriteCsvRow(std::FILE *out, const std::vector<std::string> &fields);

} // namespace voxeval

#endif
