// Forms built with a chosen tier and set of processor features, so that
// tests hold every way of evaluating to the records on any machine.
#ifndef VOXEVAL_TESTS_FORCED_FORMS_H
#define VOXEVAL_TESTS_FORCED_FORMS_H

#include "execution/compiled_form.h"
#include "execution/machine/code_arena.h"

#include <vector>

struct TierCase {
  const char *name;
  FORM_OPTIONS options;
};

inline TierCase MakeTierCase(const char *name, Tier strongest, bool vex) {
  TierCase c;
  c.name = name;
  c.options.strongest = strongest;
  c.options.features.vex = vex;
  return c;
}

// The tiers this machine runs: the records, the flat program, and machine
// code in its plain-SSE and (where the processor has them) VEX forms.
inline std::vector<TierCase> TiersOnThisMachine() {
  std::vector<TierCase> tiers = {
      MakeTierCase("records", Tier::kRecords, false),
      MakeTierCase("flat program", Tier::kFlatProgram, false),
      MakeTierCase("machine code (SSE)", Tier::kMachineCode, false)};
  if (ProcessorRunsVex())
    tiers.push_back(
        MakeTierCase("machine code (VEX)", Tier::kMachineCode, true));
  return tiers;
}

// A form with an arena of its own, which outlives it.
struct ForcedForm {
  ForcedForm(const STOKEN &records, const FORM_OPTIONS &options) {
    form.Build(records, arena, options);
  }
  CCodeArena arena;
  CCompiledForm form;
};

#endif
