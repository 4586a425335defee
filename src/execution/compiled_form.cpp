// The choice of tier, made once per expression.
#include "execution/compiled_form.h"

#include "evaluation/evaluator.h"
#include "execution/visit_plan.h"

void CCompiledForm::Build(const STOKEN &records, CCodeArena &arena,
                          const FORM_OPTIONS &options) {
  m_records = &records;
  m_tier = Tier::kRecords;
  if (options.strongest == Tier::kRecords)
    return;
  CVisitPlan plan;
  // Not covered: hand-made trees, and operators that have no steps.
  if (!plan.Read(records))
    return;
  m_flat.Build(plan);
  m_tier = Tier::kFlatProgram;
  if (m_flat.Leaf() != nullptr) {
    m_tier = Tier::kSingleValue;
    return;
  }
  // Machine code where the processor runs it, for the plans it takes, and
  // where the system gives memory for code.
  if (options.strongest == Tier::kMachineCode &&
      m_machine.Build(plan, arena, options.features))
    m_tier = Tier::kMachineCode;
}

std::pair<bool, double> CCompiledForm::Fallback(const void *form,
                                                std::uintptr_t context) {
  const CCompiledForm &self = *static_cast<const CCompiledForm *>(form);
  if (self.m_tier == Tier::kRecords)
    return std::pair<bool, double>(true,
                                   EvaluateSToken(self.m_records, context));
  return self.m_flat.Run(context);
}
