// VOXEvalExpressions: parse and evaluate arithmetic formulas typed by users.
//
// A host loads the library, calls CreateExpressionParser once per independent
// set of names, compiles formula texts into expressions and evaluates them as
// often as it likes. The library has no messages by design: a refusal is a
// false result or an empty handle. Only std::bad_alloc (lack of memory) and
// boost::bad_weak_ptr (CreateExpression on a parser that no shared handle
// owns, which the factory never produces) leave the library.
//
// Threads: the library takes no locks and starts no threads. Handles may be
// copied and released on any thread (their counts are atomic). Everything else
// is unsynchronised: serialise all calls on one parser together with Evaluate
// on every expression compiled from it, since evaluation reads the variable
// storage that SetValue writes. Different parsers are independent.
#ifndef VOXEVALEXPRESSIONS_H
#define VOXEVALEXPRESSIONS_H

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <utility>

#if defined(_WIN32)
#if defined(VOXEVAL_BUILDING_LIBRARY)
#define VOXEVAL_API __declspec(dllexport)
#else
#define VOXEVAL_API __declspec(dllimport)
#endif
#else
#define VOXEVAL_API __attribute__((visibility("default")))
#endif

// A host function called during evaluation. It receives the context word that
// the host passed to IVOXExpression::Evaluate, unchanged.
typedef double (*EVAL_CALLBACK)(std::uintptr_t);

// A compiled formula. Keeps its parser (and all variable storage) alive.
class IVOXExpression {
public:
  virtual ~IVOXExpression() {}

  // The formula's value with the variables' current values. The flag is
  // always true; a value that is not finite comes back as 0.0. The context
  // word is handed unchanged to every callback the formula calls.
  virtual std::pair<bool, double> Evaluate(std::uintptr_t context) const = 0;

  // True when the formula reads "x", "y", "z", "r", "phi" or "theta".
  virtual bool DependsOnSpace() const = 0;

  // True when the formula reads "t".
  virtual bool DependsOnTime() const = 0;
};

// Texts and names are NUL-terminated UTF-16 strings; the library copies them
// and never keeps the pointer. A null pointer is refused.
class IVOXExpressionParser {
public:
  virtual ~IVOXExpressionParser() {}

  // Compiles the text. Empty handle when it cannot be read: an unknown name
  // or character, blanks only, or a blank after the last token. Does not run
  // CheckSyntax first.
  virtual boost::shared_ptr<IVOXExpression>
  CreateExpression(const char16_t *text) = 0;

  // True when the text is well formed over the names known now.
  virtual bool CheckSyntax(const char16_t *text) = 0;

  // Sets a variable (seen by every compiled formula at its next evaluation)
  // or a constant such as "pi" (seen by formulas compiled afterwards). False
  // for unknown names and for names of any other kind.
  virtual bool SetValue(const char16_t *name, const double &value) = 0;

  // Forgets every name, standard ones included. Compiled formulas keep
  // working and keep reading their variables.
  virtual void Clear() = 0;

  // Entries in the name table plus entries in the binding registry: 47 for a
  // fresh parser, 0 after Clear.
  virtual std::int32_t GetCount() = 0;

  // The name denotes the callback from now on, whatever it denoted before.
  // False for an empty name or a null callback.
  virtual bool AddFunction(const char16_t *name, EVAL_CALLBACK callback) = 0;

  // Restores the standard names when the table is empty; otherwise nothing.
  virtual void LoadDefaults() = 0;

  // Creates a host variable of value 0.0. False for an empty or known name.
  virtual bool AddVariable(const char16_t *name) = 0;
};

// The library's one export: a new parser that knows the standard names.
// Never returns an empty handle.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" VOXEVAL_API boost::shared_ptr<IVOXExpressionParser>
CreateExpressionParser();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

#endif
