#include "csv.h"

#include "failure.h"

namespace voxeval {

namespace {

// Reads a quoted field starting at line[i] == '"'; leaves i after it.
std::string QuotedField(const std::string &line, std::size_t &i,
                        std::size_t lineNumber) {
  std::string field;
  for (++i; i < line.size(); ++i) {
    if (line[i] != '"') {
      field.push_back(line[i]);
    } else if (i + 1 < line.size() && line[i + 1] == '"') {
      field.push_back('"');
      ++i;
    } else {
      ++i;
      return field;
    }
  }
  throw Failure{kExitData, "line " + std::to_string(lineNumber) +
                               ": a quoted field is not closed"};
}

std::vector<std::string> SplitFields(const std::string &line,
                                     std::size_t lineNumber) {
  std::vector<std::string> fields(1);
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ',') {
      fields.emplace_back();
      ++i;
    } else if (c == '"' &&
               fields.back().find_first_not_of(" \t") == std::string::npos) {
      fields.back() = QuotedField(line, i, lineNumber);
    } else {
      fields.back().push_back(c);
      ++i;
    }
  }
  return fields;
}

} // namespace

bool CsvReader::ReadRow(std::vector<std::string> &fields) {
  std::string line;
  while (std::getline(m_in, line)) {
    ++m_line;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos)
      continue;
    fields = SplitFields(line, m_line);
    return true;
  }
  return false;
}

std::string CsvField(const std::string &text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos &&
      (text.empty() || (text.front() != ' ' && text.back() != ' ')))
    return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"')
      quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

void WriteCsvRow(std::FILE *out, const std::vector<std::string> &fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0)
      std::fputc(',', out);
    const std::string field = CsvField(fields[i]);
    std::fwrite(field.data(), 1, field.size(), out);
  }
  std::fputc('\n', out);
}

} // namespace voxeval
