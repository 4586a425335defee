// SetValue through the host's interface against a plain reading of the name
// table: look the name up in the ordered table; a variable takes the value
// into its storage, a constant into the entry; anything else refuses. Names
// come through a reused buffer, through literals and through strings of
// their own, while the table changes under them.
#include "builder/expression_builder.h"
#include "facade/parser_facade.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

using calc_nmspace::TOKEN;

namespace {

double Callback(std::uintptr_t) { return 1.0; }

// Where the plain reading puts a value set by this name, or null.
const double *ReferenceTarget(const CExpressionBuilder &builder,
                              const std::u16string &name) {
  const CExpressionBuilder::NameTable &table = builder.GetNameTable();
  const auto it = table.find(name);
  if (it == table.end())
    return nullptr;
  if (it->second.type == TT_DOUBLE_REF)
    return it->second.value.dref;
  if (it->second.type == TT_DOUBLE)
    return &it->second.value.dval;
  return nullptr;
}

// Every value a SetValue could reach, as bits: the table's entries and the
// storage of variables, named or no longer named.
std::vector<std::uint64_t> AllValues(const CExpressionBuilder &builder,
                                     const std::set<const double *> &known) {
  std::vector<std::uint64_t> values;
  for (const auto &item : builder.GetNameTable()) {
    std::uint64_t bits;
    std::memcpy(&bits, &item.second.value, sizeof bits);
    values.push_back(bits);
  }
  for (const double *storage : known) {
    std::uint64_t bits;
    std::memcpy(&bits, storage, sizeof bits);
    values.push_back(bits);
  }
  return values;
}

class SetValueDifferential : public ::testing::Test {
protected:
  SetValueDifferential()
      : handle_(CreateExpressionParser()),
        parser_(static_cast<CVOXExpressionParser &>(*handle_)),
        builder_(*parser_.GetBuilder()) {}

  // Sets through the given pointer and checks answer and effect.
  void Check(const char16_t *text) {
    const std::u16string name(text);
    SCOPED_TRACE(WideToNarrow(name));
    const double *target = ReferenceTarget(builder_, name);
    // Variables' storage outlives their names; a constant's does not.
    if (target != nullptr &&
        builder_.GetNameTable().at(name).type == TT_DOUBLE_REF)
      known_.insert(target);
    const std::vector<std::uint64_t> before = AllValues(builder_, known_);
    value_ += 1.0;
    const bool answer = parser_.SetValue(text, value_);
    ASSERT_EQ(answer, target != nullptr);
    if (answer)
      ASSERT_EQ(*target, value_);
    else
      ASSERT_EQ(AllValues(builder_, known_), before);
  }

  // The same name at one of eight addresses whatever it holds, as a host
  // reusing a buffer does; the eight cover every place in a 16-byte word.
  void CheckInBuffer(const std::u16string &name, std::size_t shift = 0) {
    char16_t *start = buffer_ + shift % 8;
    ASSERT_LT(name.size() + 8, sizeof buffer_ / sizeof buffer_[0]);
    name.copy(start, name.size());
    start[name.size()] = 0;
    Check(start);
  }

  boost::shared_ptr<IVOXExpressionParser> handle_;
  CVOXExpressionParser &parser_;
  const CExpressionBuilder &builder_;
  std::set<const double *> known_;
  alignas(16) char16_t buffer_[64];
  double value_ = 0.0;
};

// Every kind of name, and names that differ from a known one by one unit,
// by a missing or an extra unit at either end, or by case.
const std::vector<std::u16string> &Names() {
  static const std::vector<std::u16string> names = {
      u"x",
      u"y",
      u"t",
      u"r",
      u"phi",
      u"theta",
      u"Density",
      u"AbsVelosity",
      u"DinViscosity",
      u"{SI}",
      u"{Unit}",
      u"Re",
      u"pi",
      u"gol",
      u"sin",
      u"log",
      u"+",
      u"-",
      u"*",
      u"/",
      u"^",
      u"(",
      u")",
      u"a",
      u"h",
      u"inflow_u",
      u"inlet_boundary_layer_thickness_at_x_zero",
      u"cb",
      u"\u03c1",
      u"v7",
      u"v123",
      u"",
      u"X",
      u"xx",
      u"x ",
      u" x",
      u"Densit",
      u"Densityy",
      u"{SI",
      u"SI}",
      u"inflow_v",
      u"nflow_u",
      u"inflow_",
      u"inlet_boundary_layer_thickness_at_x_zerO",
      u"pI",
      u"si",
      u"sinx"};
  return names;
}

} // namespace

TEST_F(SetValueDifferential, FollowsTheTableThroughEveryChange) {
  const std::vector<std::u16string> &names = Names();
  std::mt19937 random(15);
  int added = 0;
  for (int step = 0; step < 30000; ++step) {
    const std::u16string &name = names[random() % names.size()];
    switch (random() % 40) {
    case 0:
      parser_.AddVariable(name.c_str());
      break;
    case 1:
      parser_.AddFunction(name.c_str(), Callback);
      break;
    case 2:
      if (random() % 8 == 0)
        parser_.Clear();
      break;
    case 3:
      parser_.LoadDefaults();
      break;
    case 4:
      // Enough new names to make the index grow.
      for (int i = 0; i < 200; ++i, ++added)
        parser_.AddVariable((u"v" +
                             std::u16string(1, char16_t(u'0' + added % 10)) +
                             std::u16string(added / 10 % 50 + 1, u'_'))
                                .c_str());
      break;
    default:
      if (random() % 2 == 0)
        CheckInBuffer(name, random());
      else
        Check(name.c_str());
      break;
    }
    if (HasFatalFailure())
      return;
  }
}

// The changes that must show at the very next call, with the name already
// set once at the same address.
TEST_F(SetValueDifferential, AnswersChangeAtOnce) {
  const struct {
    const char *label;
    void (*change)(IVOXExpressionParser &);
  } changes[] = {
      {"AddFunction over a predefined variable",
       [](IVOXExpressionParser &p) { p.AddFunction(u"x", Callback); }},
      {"AddFunction over a host variable",
       [](IVOXExpressionParser &p) { p.AddFunction(u"a", Callback); }},
      {"AddFunction over pi",
       [](IVOXExpressionParser &p) { p.AddFunction(u"pi", Callback); }},
      {"Clear", [](IVOXExpressionParser &p) { p.Clear(); }},
      {"Clear and LoadDefaults",
       [](IVOXExpressionParser &p) {
         p.Clear();
         p.LoadDefaults();
       }},
      {"AddVariable of the name after Clear",
       [](IVOXExpressionParser &p) {
         p.Clear();
         p.AddVariable(u"a");
         p.AddVariable(u"x");
       }},
  };
  for (const auto &change : changes) {
    SCOPED_TRACE(change.label);
    handle_->Clear();
    handle_->LoadDefaults();
    handle_->AddVariable(u"a");
    for (const char16_t *name : {u"x", u"a", u"pi"}) {
      CheckInBuffer(name);
      Check(name);
    }
    change.change(*handle_);
    for (const char16_t *name : {u"x", u"a", u"pi"}) {
      Check(name);
      CheckInBuffer(name);
    }
    if (HasFatalFailure())
      return;
  }
}

// A name whose terminator is the last unit before memory that cannot be
// read, at an address where a longer or other name was set before: nothing
// past the name may be read.
TEST(SetValueAtPageEnd, ReadsNothingPastTheName) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX mappings only";
#else
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void *mapped = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char *const second = static_cast<char *>(mapped) + page;
  const boost::shared_ptr<IVOXExpressionParser> parser =
      CreateExpressionParser();
  const std::u16string longName = u"inlet_boundary_layer_thickness_at_x_zero";
  for (const char16_t *name : {u"h", u"inflow_u", longName.c_str()})
    parser->AddVariable(name);
  const struct {
    std::u16string before, name;
    bool known;
  } cases[] = {
      {u"h", u"h", true},
      {u"h", u"", false},
      {u"x", u"y", true},
      {u"Density", u"Density", true},
      {u"Density", u"Densit", false},
      {u"Density", u"x", true},
      {u"inflow_u", u"inflow_u", true},
      {u"inflow_u", u"inflow_", false},
      {u"inflow_u", u"inflo", false},
      {longName, longName, true},
      {longName, longName.substr(0, 30), false},
      {longName, longName.substr(0, 14), false},
      {longName, longName.substr(0, 9), false},
      {longName, u"h", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToNarrow(c.before + u" then " + c.name));
    char16_t *const at =
        reinterpret_cast<char16_t *>(second) - (c.name.size() + 1);
    ASSERT_EQ(mprotect(second, page, PROT_READ | PROT_WRITE), 0);
    c.before.copy(at, c.before.size());
    at[c.before.size()] = 0;
    ASSERT_TRUE(parser->SetValue(at, 1.0));
    c.name.copy(at, c.name.size());
    at[c.name.size()] = 0;
    ASSERT_EQ(mprotect(second, page, PROT_NONE), 0);
    EXPECT_EQ(parser->SetValue(at, 2.0), c.known);
    EXPECT_EQ(parser->SetValue(at, 3.0), c.known);
  }
  munmap(mapped, 2 * page);
#endif
}

// Three names at addresses that meet in the memo of recent names, set in
// turn: the first keeps its place, the others share the second, and every
// value lands where it belongs.
TEST(SetValueMemo, NamesThatMeetDoNotPushTheFirstOut) {
  std::vector<char16_t> buffer(1 << 16, u'\0');
  std::vector<char16_t *> meeting;
  const std::size_t stride = 8; // units: room for a name and its terminator
  for (std::size_t k = 0; k < buffer.size() && meeting.size() < 3; k += stride)
    if (meeting.empty() || CNameIndex::RecentIndex(&buffer[k]) ==
                               CNameIndex::RecentIndex(meeting[0]))
      meeting.push_back(&buffer[k]);
  ASSERT_EQ(meeting.size(), 3u);
  const std::u16string names[] = {u"alpha", u"beta", u"gamma"};
  CNameIndex::Table table;
  CNameIndex index;
  index.Reserve(3);
  for (int i = 0; i < 3; ++i) {
    names[i].copy(meeting[i], names[i].size());
    TOKEN &entry = table[names[i]];
    entry.type = TT_DOUBLE;
    entry.value.dval = 0.0;
    index.Insert(table.find(names[i])->first, entry);
  }
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 3; ++i) {
      double *const target = index.FindTargetAndRemember(meeting[i]);
      ASSERT_EQ(target, &table[names[i]].value.dval);
      const CNameIndex::Recent *first = index.Recall(meeting[0]);
      ASSERT_NE(first, nullptr);
      EXPECT_EQ(std::u16string(first->text), names[0]) << round << i;
    }
}
