// Every value the documentation shows, evaluated by the library, so that the
// pages cannot drift from what it does. Two forms are read outside code
// blocks:
// - a table with a "Formula" column (one or more `formulas` per cell, or
//   "(empty)") and any of the columns "Value" (a number, "≈ number" rounded
//   to the digits shown, or "does not compile"; "Value with x = 2, y = 3"
//   sets variables for the whole table), "Groups" (the reading voxeval
//   --explain prints), "Same as" (a formula that gives the same value),
//   "Syntax check" (accepted/rejected) and "Compiles" (yes/no);
// - in running text, "`formula` gives 2" or "`formula` with x = 2 gives 4".
#include <VOXEvalExpressions.h>

#include "voxeval/reading.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, double>> Settings;

struct DocExample {
  int line = 0;
  std::string formula;
  Settings settings;
  // What the value cell says; kNone when the row has no value.
  enum Kind { kNone, kExact, kRounded, kNoCompile } kind = kNone;
  double value = 0.0;
  int decimals = 0;
  std::string groups;    // empty: not shown
  std::string sameAs;    // empty: not shown
  int checkAccepts = -1; // -1: not shown
  int compiles = -1;     // -1: not shown
};

std::u16string Utf16(const std::string &s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    char32_t code = extra == 0   ? c
                    : extra == 1 ? c & 0x1F
                    : extra == 2 ? c & 0x0F
                                 : c & 0x07;
    for (int k = 1; k <= extra && i + k < s.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += extra + 1;
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
  }
  return out;
}

std::string Trim(const std::string &s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos)
    return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string WithoutBold(std::string s) {
  for (std::size_t at; (at = s.find("**")) != std::string::npos;)
    s.erase(at, 2);
  return Trim(s);
}

// The `code` spans of a cell, in order.
std::vector<std::string> CodeSpans(const std::string &cell) {
  std::vector<std::string> spans;
  std::size_t open = cell.find('`');
  while (open != std::string::npos) {
    const std::size_t close = cell.find('`', open + 1);
    if (close == std::string::npos)
      break;
    spans.push_back(cell.substr(open + 1, close - open - 1));
    open = cell.find('`', close + 1);
  }
  return spans;
}

const char kNumber[] = R"(-?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)";

// "x = 2, y = 3" or "x = 2 and y = 3".
Settings ParseSettings(const std::string &text) {
  Settings settings;
  const std::regex one(std::string(R"(([^\s=,`]+)\s*=\s*()") + kNumber + ")");
  for (std::sregex_iterator it(text.begin(), text.end(), one), end; it != end;
       ++it)
    settings.emplace_back((*it)[1],
                          std::strtod((*it)[2].str().c_str(), nullptr));
  return settings;
}

// A value as the pages write it; false when it cannot be read.
bool ParseValue(const std::string &cell, DocExample &example) {
  const std::string text = WithoutBold(cell);
  if (text.rfind("does not compile", 0) == 0) {
    example.kind = DocExample::kNoCompile;
    return true;
  }
  std::smatch m;
  const std::regex value(std::string("^(≈ )?`?(") + kNumber + ")");
  if (!std::regex_search(text, m, value))
    return false;
  const std::string number = m[2];
  example.kind = m[1].matched ? DocExample::kRounded : DocExample::kExact;
  example.value = std::strtod(number.c_str(), nullptr);
  const std::size_t dot = number.find('.');
  example.decimals =
      dot == std::string::npos ? 0 : static_cast<int>(number.size() - dot - 1);
  return true;
}

std::vector<std::string> Cells(const std::string &row) {
  std::vector<std::string> cells;
  std::stringstream in(row.substr(1));
  std::string cell;
  while (std::getline(in, cell, '|'))
    cells.push_back(Trim(cell));
  return cells;
}

int Column(const std::vector<std::string> &header, const std::string &name) {
  for (std::size_t i = 0; i < header.size(); ++i)
    if (header[i].rfind(name, 0) == 0)
      return static_cast<int>(i);
  return -1;
}

class DocReader {
public:
  std::vector<DocExample> examples;
  std::vector<std::string> unreadable;

  void Table(const std::vector<std::pair<int, std::string>> &rows) {
    const std::vector<std::string> header = Cells(rows[0].second);
    const int formula = Column(header, "Formula");
    if (formula < 0 || rows.size() < 3)
      return;
    const int value = Column(header, "Value");
    const Settings shared =
        value >= 0 ? ParseSettings(header[value]) : Settings();
    const int groups = Column(header, "Groups");
    const int sameAs = Column(header, "Same as");
    const int check = Column(header, "Syntax check");
    const int compiles = Column(header, "Compiles");
    for (std::size_t r = 2; r < rows.size(); ++r) {
      const std::vector<std::string> cells = Cells(rows[r].second);
      const auto cell = [&](int column) {
        return column >= 0 && column < static_cast<int>(cells.size())
                   ? cells[column]
                   : std::string();
      };
      DocExample example;
      example.line = rows[r].first;
      example.settings = shared;
      if (value >= 0 && !ParseValue(cell(value), example))
        unreadable.push_back(std::to_string(example.line) + ": value " +
                             cell(value));
      const std::vector<std::string> g = CodeSpans(cell(groups));
      example.groups = g.empty() ? "" : g[0];
      const std::vector<std::string> same = CodeSpans(cell(sameAs));
      example.sameAs = same.empty() ? "" : same[0];
      if (check >= 0)
        example.checkAccepts =
            WithoutBold(cell(check)).rfind("accepted", 0) == 0;
      if (compiles >= 0)
        example.compiles = WithoutBold(cell(compiles)).rfind("yes", 0) == 0;
      std::vector<std::string> formulas = CodeSpans(cell(formula));
      if (cell(formula) == "(empty)")
        formulas.push_back("");
      if (formulas.empty())
        unreadable.push_back(std::to_string(example.line) + ": formula " +
                             cell(formula));
      for (const std::string &f : formulas) {
        example.formula = f;
        examples.push_back(example);
      }
    }
  }

  void Text(int line, const std::string &paragraph) {
    const std::regex gives(
        std::string(R"(`([^`]*)`(?:\s+with\s+((?:[^\s=,`]+\s*=\s*)") + kNumber +
        R"((?:,\s*|\s+and\s+)?)+))?\s+gives\s+((?:\*\*)?(?:≈ )?`?-?\.?\d[^\s,;:)`*]*))");
    for (std::sregex_iterator it(paragraph.begin(), paragraph.end(), gives),
         end;
         it != end; ++it) {
      DocExample example;
      const auto start = paragraph.begin() + it->position();
      example.line =
          line + static_cast<int>(std::count(paragraph.begin(), start, '\n'));
      example.formula = (*it)[1];
      example.settings = ParseSettings((*it)[2]);
      if (!ParseValue((*it)[3], example))
        unreadable.push_back(std::to_string(example.line) + ": value " +
                             (*it)[3].str());
      examples.push_back(example);
    }
  }

  void File(std::istream &in) {
    std::string line, paragraph;
    std::vector<std::pair<int, std::string>> table;
    int number = 0, paragraphLine = 0;
    bool code = false;
    const auto flush = [&] {
      if (!table.empty())
        Table(table);
      table.clear();
      if (!paragraph.empty())
        Text(paragraphLine, paragraph);
      paragraph.clear();
    };
    while (std::getline(in, line)) {
      ++number;
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      if (line.rfind("```", 0) == 0) {
        flush();
        code = !code;
      } else if (code) {
        // Code blocks show commands and programs, not examples.
      } else if (line.rfind("|", 0) == 0) {
        if (!paragraph.empty())
          flush();
        table.emplace_back(number, line);
      } else if (Trim(line).empty() || line.rfind("#", 0) == 0) {
        flush();
      } else {
        if (!table.empty())
          flush();
        if (paragraph.empty())
          paragraphLine = number;
        paragraph += (paragraph.empty() ? "" : "\n") + line;
      }
    }
    flush();
  }
};

// The value the library gives, or false when the text does not compile.
bool Evaluate(const std::string &formula, const Settings &settings,
              double &value, std::string *groups = nullptr) {
  const boost::shared_ptr<IVOXExpressionParser> parser =
      CreateExpressionParser();
  for (const auto &s : settings) {
    const std::u16string name = Utf16(s.first);
    if (!parser->SetValue(name.c_str(), s.second)) {
      parser->AddVariable(name.c_str());
      parser->SetValue(name.c_str(), s.second);
    }
  }
  const boost::shared_ptr<IVOXExpression> e =
      parser->CreateExpression(Utf16(formula).c_str());
  if (!e)
    return false;
  value = e->Evaluate(0).second;
  voxeval::Reading reading;
  if (groups != nullptr && voxeval::ReadExpression(*e, reading))
    *groups = reading.groups;
  return true;
}

bool Matches(const DocExample &example, double value) {
  if (example.kind == DocExample::kExact)
    return value == example.value;
  const double half = 0.5 * std::pow(10.0, -example.decimals);
  return std::fabs(value - example.value) <= half * (1.0 + 1e-9);
}

// Checks every example of one page; returns how many there were.
std::size_t CheckPage(const std::string &page) {
  const std::string path = std::string(VOXEVAL_SOURCE_DIR) + "/" + page;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  DocReader reader;
  reader.File(in);
  for (const std::string &u : reader.unreadable)
    ADD_FAILURE() << page << ":" << u << ": cannot be read as an example";
  for (const DocExample &x : reader.examples) {
    const std::string where =
        page + ":" + std::to_string(x.line) + ": `" + x.formula + "`";
    double value = 0.0;
    std::string groups;
    const bool compiles = Evaluate(x.formula, x.settings, value, &groups);
    if (x.checkAccepts >= 0) {
      const boost::shared_ptr<IVOXExpressionParser> parser =
          CreateExpressionParser();
      EXPECT_EQ(parser->CheckSyntax(Utf16(x.formula).c_str()),
                x.checkAccepts == 1)
          << where << ": syntax check";
    }
    if (x.kind == DocExample::kNoCompile || x.compiles == 0) {
      EXPECT_FALSE(compiles) << where << " compiles";
      continue;
    }
    // Whatever the row shows of a formula that compiles.
    EXPECT_TRUE(compiles) << where << " does not compile";
    if (!compiles)
      continue;
    if (x.kind != DocExample::kNone) {
      EXPECT_TRUE(Matches(x, value))
          << where << " gives " << value << ", the page says " << x.value;
    }
    if (!x.groups.empty()) {
      EXPECT_EQ(groups, x.groups) << where;
    }
    double same = 0.0;
    if (!x.sameAs.empty()) {
      EXPECT_TRUE(Evaluate(x.sameAs, x.settings, same) && same == value)
          << where << " gives " << value << ", its `" << x.sameAs << "` gives "
          << same;
    }
  }
  return reader.examples.size();
}

// A lower bound, so that examples cannot silently stop being found.
TEST(DocExamples, LanguageReference) {
  EXPECT_GE(CheckPage("docs/language.md"), 120u);
}

TEST(DocExamples, Readme) { EXPECT_GE(CheckPage("README.md"), 1u); }

TEST(DocExamples, HostGuide) { EXPECT_GE(CheckPage("docs/host-guide.md"), 1u); }

} // namespace
