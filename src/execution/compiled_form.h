// What an expression evaluates: its compiled records, laid out once for
// speed. The one place that decides how a text is evaluated:
//
//   records -> visit plan (not covered: the records are evaluated as they
//              are, by EvaluateSToken)
//           -> one variable or constant: read at once (the single value)
//           -> flat program, always, the fallback of the machine code
//           -> machine code on x86-64 for the plans it takes
//
// Evaluate gives exactly what EvaluateSToken gives on the records, with the
// same callback calls in the same order and the same context word,
// whichever of these serves.
#ifndef VOXEVAL_EXECUTION_COMPILED_FORM_H
#define VOXEVAL_EXECUTION_COMPILED_FORM_H

#include "evaluation/stoken.h"
#include "execution/flat_program.h"
#include "execution/machine/machine_program.h"

#include <cstdint>
#include <utility>

// The way a form evaluates, strongest first.
enum class Tier { kMachineCode, kSingleValue, kFlatProgram, kRecords };

// What Build may use; tests force a tier or a set of processor features.
struct FORM_OPTIONS {
  // The strongest tier to use; a weaker one serves where it does not take
  // the records.
  Tier strongest = Tier::kMachineCode;
  MACHINE_FEATURES features = DetectedMachineFeatures();
};

class CCompiledForm {
public:
  // The code jumps to fallback with the pointer it was entered with, when
  // it has no value: by default the form's own Evaluate, entered with the
  // form; an owner that enters it with itself gives one that finds the
  // form (see EvaluateFor).
  explicit CCompiledForm(MACHINE_FALLBACK fallback = &Fallback)
      : m_machine(fallback) {}
  // Moving keeps the code, the steps and their constants where they are.
  CCompiledForm(CCompiledForm &&) = default;
  CCompiledForm(const CCompiledForm &) = delete;
  CCompiledForm &operator=(const CCompiledForm &) = delete;

  // Lays out the records, which must outlive the form; the machine code
  // goes into a block of the arena, freed when the form goes, so the arena
  // must outlive the form as well. Throws std::bad_alloc.
  void Build(const STOKEN &records, CCodeArena &arena,
             const FORM_OPTIONS &options = FORM_OPTIONS());

  // The hot path: no allocation, no lookup, no lock, and no branch before
  // the jump into the code (see CMachineProgram::Run).
  std::pair<bool, double> Evaluate(std::uintptr_t context) const {
    return EvaluateFor(this, context);
  }
  // The same, the code entered with its owner's pointer.
  std::pair<bool, double> EvaluateFor(const void *owner,
                                      std::uintptr_t context) const {
#if !defined(VOXEVAL_PAIR_THROUGH_POINTER)
    return m_machine.Entry()(owner, context);
#else
    return m_machine.Run(owner, context);
#endif
  }
  // The code's entry, where the form has code, else null: entered as an
  // owner's Evaluate (see machine_program.h).
  const void *CodeEntry() const {
    return m_tier == Tier::kMachineCode ? m_machine.Code() : nullptr;
  }
  // What the code falls back on, for an owner's fallback.
  std::pair<bool, double> EvaluateWithoutCode(std::uintptr_t context) const {
    return Fallback(this, context);
  }

  // The flat program, for an owner that evaluates by it alone (where
  // Serving() is kFlatProgram, never a single value).
  const CFlatProgram &Flat() const { return m_flat; }

  // The one variable or constant the records are, or null. Its value is
  // FiniteOrZero(*SingleValue()).
  const double *SingleValue() const { return m_flat.Leaf(); }

  Tier Serving() const { return m_tier; }

private:
  // Evaluation where the machine code has no value.
  static std::pair<bool, double> Fallback(const void *form,
                                          std::uintptr_t context);

  const STOKEN *m_records = nullptr;
  Tier m_tier = Tier::kRecords;
  CFlatProgram m_flat;
  CMachineProgram m_machine;
};

#endif
