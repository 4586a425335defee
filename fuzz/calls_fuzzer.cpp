// Any sequence of interface calls: the bytes decode into operations on one
// parser, checked against a model of its name table, binding registry and
// variable storage. Released parser handles are replaced by fresh parsers
// while expressions compiled from the old ones live on.
#include "fuzz_input.h"
#include "planted_fault.h"
#include "promises.h"

#include "builder/standard_names.h"

#include <VOXEvalExpressions.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// --- Host callbacks: each counts its calls; some return non-finite values.

std::uint64_t g_calls[4];

double Callback0(std::uintptr_t c) {
  CountCall();
  ++g_calls[0];
  return static_cast<double>(c & 0xFFFF) * 0.5;
}
double Callback1(std::uintptr_t) {
  CountCall();
  ++g_calls[1];
  return kNaN;
}
double Callback2(std::uintptr_t) {
  CountCall();
  ++g_calls[2];
  return kInf;
}
double Callback3(std::uintptr_t c) {
  CountCall();
  ++g_calls[3];
  return (c & 1) != 0 ? -1e300 : -kInf;
}

const EVAL_CALLBACK kCallbacks[] = {Callback0, Callback1, Callback2, Callback3,
                                    nullptr};

double CallbackValue(int index, std::uintptr_t context) {
  switch (index) {
  case 0:
    return static_cast<double>(context & 0xFFFF) * 0.5;
  case 1:
    return kNaN;
  case 2:
    return kInf;
  default:
    return (context & 1) != 0 ? -1e300 : -kInf;
  }
}

const double kValues[] = {0.0,  1.0,   -2.5,     1e308, -1e308, kNaN,
                          kInf, -kInf, 4.9e-324, 3.0,   -0.0,   1e-300};
const std::uintptr_t kContexts[] = {0, 1, 7, 0xFFFF,
                                    std::numeric_limits<std::uintptr_t>::max()};

std::u16string Wide(const char *ascii) {
  return std::u16string(ascii, ascii + std::strlen(ascii));
}

// Names that each read as one token on their own, so that the value of an
// expression made of one of them can be predicted: the host's, odd ones,
// and every standard name.
const std::vector<std::u16string> &Names() {
  static const std::vector<std::u16string> names = [] {
    std::vector<std::u16string> all = {u"a",
                                       u"b",
                                       u"cb",
                                       u"\u03c1",
                                       u"\u00e9",
                                       u"",
                                       std::u16string(1, 0xD800),
                                       u"v" + std::u16string(300, u'w')};
    for (const STANDARD_NAME &row : StandardNames())
      all.push_back(Wide(row.name));
    return all;
  }();
  return names;
}

template <class T, std::size_t N> std::size_t CountOf(const T (&)[N]) {
  return N;
}

// --- The model.

enum class Kind {
  Operator,
  LParen,
  RParen,
  Function,
  Placeholder,
  Constant,
  Variable,
  Callback
};

struct Entry {
  Kind kind;
  int storage;     // Variable
  double constant; // Constant
  int callback;    // Callback
};

Entry MakeEntry(Kind kind, int storage = -1, double constant = 0.0,
                int callback = -1) {
  Entry e;
  e.kind = kind;
  e.storage = storage;
  e.constant = constant;
  e.callback = callback;
  return e;
}

// Variable storage of every parser of the run, by id.
std::vector<double> g_storage;

int NewStorage() {
  g_storage.push_back(0.0);
  return static_cast<int>(g_storage.size() - 1);
}

struct ParserModel {
  std::map<std::u16string, Entry> table;
  std::set<std::u16string> registry;
  std::map<std::u16string, int> standardStorage;

  ParserModel() {
    for (const STANDARD_NAME &row : StandardNames())
      if (row.kind == StandardKind::kVariable)
        standardStorage[Wide(row.name)] = NewStorage();
    LoadDefaults();
  }

  int Count() const { return static_cast<int>(table.size() + registry.size()); }

  void LoadDefaults() {
    if (!table.empty())
      return;
    for (const STANDARD_NAME &row : StandardNames()) {
      const std::u16string name = Wide(row.name);
      switch (row.kind) {
      case StandardKind::kOperator:
        table[name] = MakeEntry(Kind::Operator);
        break;
      case StandardKind::kBracket:
        table[name] =
            MakeEntry(row.type == TT_LPAREN ? Kind::LParen : Kind::RParen);
        break;
      case StandardKind::kFunction:
        table[name] = MakeEntry(Kind::Function);
        registry.insert(name);
        break;
      case StandardKind::kPlaceholder:
        table[name] = MakeEntry(Kind::Placeholder);
        break;
      case StandardKind::kConstant:
        table[name] = MakeEntry(Kind::Constant, -1, row.value);
        break;
      case StandardKind::kVariable:
        table[name] = MakeEntry(Kind::Variable, standardStorage.at(name));
        registry.insert(name);
        break;
      }
    }
  }

  bool IsCoordinate(int storage) const {
    for (const STANDARD_NAME &row : StandardNames())
      if (row.coordinate && standardStorage.at(Wide(row.name)) == storage)
        return true;
    return false;
  }
};

// What evaluating an expression must give.
struct Prediction {
  enum { Unknown, Zero, Storage, Constant, Callback } what;
  int storage;
  double constant;
  int callback;
  bool knownDependencies;
  bool space;
  bool time;
};

struct LiveExpression {
  boost::shared_ptr<IVOXExpression> handle;
  Prediction prediction;
};

double Finite(double v) { return std::isfinite(v) ? v : 0.0; }

class Session {
public:
  explicit Session(FuzzInput &input) : m_input(input) {}

  void Step() {
    switch (m_input.Byte() % 14) {
    case 0:
      AddVariable();
      break;
    case 1:
      AddFunction();
      break;
    case 2:
      SetValue();
      break;
    case 3:
      Parser().Clear();
      m_model.table.clear();
      m_model.registry.clear();
      break;
    case 4:
      Parser().LoadDefaults();
      m_model.LoadDefaults();
      break;
    case 5:
      Parser().CheckSyntax(Name().c_str());
      break;
    case 6:
      CreateNamed();
      break;
    case 7:
      CreateRaw();
      break;
    case 8:
      Parser().CheckSyntax(m_input.Text(m_input.Byte() % 64).c_str());
      break;
    case 9:
      Evaluate();
      break;
    case 10:
      if (!m_live.empty())
        m_live.erase(m_live.begin() + Pick(m_live.size()));
      break;
    case 11:
      // Expressions outlive the host's handle; later calls get a new parser.
      m_parser.reset();
      break;
    case 12:
      Dependencies();
      break;
    case 13:
      if (!m_live.empty())
        Keep(m_live[Pick(m_live.size())]);
      break;
    }
    if (m_parser)
      FUZZ_REQUIRE(m_parser->GetCount() == m_model.Count());
  }

private:
  IVOXExpressionParser &Parser() {
    if (!m_parser) {
      m_parser = CreateExpressionParser();
      m_model = ParserModel();
    }
    return *m_parser;
  }

  std::size_t Pick(std::size_t n) { return m_input.Byte() % n; }

  const std::u16string &Name() { return Names()[Pick(Names().size())]; }

  void AddVariable() {
    const std::u16string &name = Name();
    const bool added = Parser().AddVariable(name.c_str());
    const bool expected = !name.empty() && m_model.table.count(name) == 0;
    FUZZ_REQUIRE(added == expected);
    if (!added)
      return;
    m_model.table[name] = MakeEntry(Kind::Variable, NewStorage());
    m_model.registry.insert(name);
  }

  void AddFunction() {
    const std::u16string &name = Name();
    const int callback = static_cast<int>(Pick(CountOf(kCallbacks)));
    const bool added = Parser().AddFunction(name.c_str(), kCallbacks[callback]);
    const bool expected = !name.empty() && kCallbacks[callback] != nullptr;
    FUZZ_REQUIRE(added == expected);
    if (!added)
      return;
    m_model.table[name] = MakeEntry(Kind::Callback, -1, 0.0, callback);
    m_model.registry.insert(name);
  }

  void SetValue() {
    const std::u16string &name = Name();
    const double value = kValues[Pick(CountOf(kValues))];
    const bool set = Parser().SetValue(name.c_str(), value);
    auto entry = m_model.table.find(name);
    bool expected = false;
    if (entry != m_model.table.end() && entry->second.kind == Kind::Variable) {
      g_storage[entry->second.storage] = value;
      expected = true;
    }
    if (entry != m_model.table.end() && entry->second.kind == Kind::Constant) {
      entry->second.constant = value;
      expected = true;
    }
    FUZZ_REQUIRE(set == expected);
  }

  // An expression of one name: whether it compiles, its value and its
  // dependencies all follow from the model.
  void CreateNamed() {
    const std::u16string &name = Name();
    boost::shared_ptr<IVOXExpression> e =
        Parser().CreateExpression(name.c_str());
    Prediction p = Prediction();
    p.what = Prediction::Zero;
    p.knownDependencies = true;
    bool compiles = true;
    auto entry = m_model.table.find(name);
    if (name.empty()) {
      // The empty text compiles to 0.0.
    } else if (entry == m_model.table.end()) {
      compiles = false;
    } else {
      const Entry &en = entry->second;
      switch (en.kind) {
      case Kind::LParen:
        compiles = false;
        break;
      case Kind::Constant:
        p.what = Prediction::Constant;
        p.constant = en.constant;
        break;
      case Kind::Variable:
        p.what = Prediction::Storage;
        p.storage = en.storage;
        p.space = m_model.IsCoordinate(en.storage);
        p.time = en.storage == m_model.standardStorage.at(u"t");
        break;
      case Kind::Callback:
        p.what = Prediction::Callback;
        p.callback = en.callback;
        break;
      default:
        break;
      }
    }
    FUZZ_REQUIRE(!e == !compiles);
    if (e)
      Keep(LiveExpression{e, p});
  }

  void CreateRaw() {
    const std::u16string text = m_input.Text(m_input.Byte() % 64);
    boost::shared_ptr<IVOXExpression> e =
        Parser().CreateExpression(text.c_str());
    if (e)
      Keep(LiveExpression{e, Prediction()});
  }

  void Keep(LiveExpression e) {
    if (m_live.size() == 8)
      m_live.erase(m_live.begin());
    m_live.push_back(e);
  }

  void Evaluate() {
    if (m_live.empty())
      return;
    const LiveExpression &e = m_live[Pick(m_live.size())];
    const std::uintptr_t context = kContexts[Pick(CountOf(kContexts))];
    const std::uint64_t before[4] = {g_calls[0], g_calls[1], g_calls[2],
                                     g_calls[3]};
    const double value = CheckedEvaluate(*e.handle, context);
    const Prediction &p = e.prediction;
    switch (p.what) {
    case Prediction::Unknown:
      return;
    case Prediction::Zero:
      FUZZ_REQUIRE(value == 0.0);
      break;
    case Prediction::Storage:
      FUZZ_REQUIRE(value == Finite(g_storage[p.storage]));
      break;
    case Prediction::Constant:
      FUZZ_REQUIRE(value == Finite(p.constant));
      break;
    case Prediction::Callback:
      FUZZ_REQUIRE(value == Finite(CallbackValue(p.callback, context)));
      break;
    }
    for (int i = 0; i < 4; ++i) {
      const bool called = p.what == Prediction::Callback && p.callback == i;
      FUZZ_REQUIRE(g_calls[i] - before[i] == (called ? 1u : 0u));
    }
  }

  void Dependencies() {
    if (m_live.empty())
      return;
    const LiveExpression &e = m_live[Pick(m_live.size())];
    const bool space = e.handle->DependsOnSpace();
    const bool time = e.handle->DependsOnTime();
    if (!e.prediction.knownDependencies)
      return;
    FUZZ_REQUIRE(space == e.prediction.space);
    FUZZ_REQUIRE(time == e.prediction.time);
  }

  FuzzInput &m_input;
  boost::shared_ptr<IVOXExpressionParser> m_parser;
  ParserModel m_model;
  std::vector<LiveExpression> m_live;
};

void Run(FuzzInput &input) {
  CallsThisInput() = 0;
  g_storage.clear();
  Session session(input);
  while (!input.AtEnd())
    session.Step();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  AbortOnPlantedInput(data, size);
  FuzzInput input(data, size);
  try {
    Run(input);
  } catch (const CallBudgetSpent &) {
    return -1;
  } catch (const std::bad_alloc &) {
    // The one exception the library may throw.
  } catch (...) {
    FUZZ_REQUIRE(!"an exception other than std::bad_alloc");
  }
  return 0;
}
