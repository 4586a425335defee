// A bound record tree translated once into a flat run of steps. Walking the
// steps gives exactly what EvaluateSToken gives on the tree and calls the
// same callbacks in the same order with the same context word, without
// recursion over records, dispatch on record kinds, or tests of which items
// to visit.
#ifndef VOXEVAL_EXECUTION_FLAT_PROGRAM_H
#define VOXEVAL_EXECUTION_FLAT_PROGRAM_H

#include "evaluation/stoken.h"
#include "execution/visit_plan.h"

#include <cstdint>
#include <utility>
#include <vector>

// What a step computes. Leaves (variables and constants, both read through
// pointers) pass the finiteness test as a record read does; function and
// callback results enter unchanged.
enum FLAT_SHAPE : std::uint16_t {
  kLeaf,
  // leaf op leaf opening a longer run
  kPairAdd,
  kPairSub,
  kPairMul,
  kPairDiv,
  kPairPow,
  kPairPowN, // leaf ^ n, n a small whole number (SmallExponent)

  // leaf op leaf as a whole group
  kGroupAdd,
  kGroupSub,
  kGroupMul,
  kGroupDiv,
  kGroupPow,
  kGroupPowN,
  kApplyLeaf,  // function(leaf)
  kCall,       // callback(context)
  kSubGroup,   // a group holding callbacks, run from its own steps
  kApplySub,   // function(such a group)
  kClose,      // the nested group just run, against the saved value
  kApplyClose, // function(the nested group just run), likewise
  // A group that opens with a leaf and goes on with a nested group (no
  // callbacks in it): the nested group runs first, in the running value's
  // place, and meets the leaf at its end; nothing is saved.
  kCloseLeaf,      // leaf op the nested group
  kApplyCloseLeaf, // leaf op function(the nested group)
  kFinishLeaf,     // a nested first item ends and meets a leaf at once
  kShapeCount
};

// Steps that combine nothing.
enum FLAT_CONTROL : std::uint16_t {
  kFinish = kShapeCount * kModeCount, // a nested first item ends
  kApplyFinish,                       // ... and is a function's argument
  kPowN,                              // running value ^ n, likewise
  // Added to a code: the last step of its (sub-)program, which gives the
  // program's value once it is done.
  kFinalStep = 256
};
static_assert(kPowN < kFinalStep, "a step's code and its final mark apart");

struct FLAT_STEP {
  // shape * kModeCount + mode, or a FLAT_CONTROL code; plus kFinalStep for
  // the last step of a program.
  std::uint16_t code;
  // For kSubGroup and kApplySub: where the group's steps start, counted
  // from this step. For the powers: the exponent n.
  std::int32_t target;
  union {
    const double *leaf;
    EVAL_FUNCTION func;
    EVAL_CALLBACK callback;
  } a;
  // The second leaf of a pair (for the powers the exponent), or a
  // function's leaf argument, or the leaf a nested group meets.
  const double *b;
};

// How a program's steps are walked: calling nothing (the running values
// saved in the walk's scratch), or calling, with room for few or for
// kMaxDepth saved values.
enum class FlatWalk : std::uint8_t { kInline, kShallow, kDeep };

class CFlatProgram {
public:
  // Lays out a plan already read. Throws std::bad_alloc.
  void Build(const CVisitPlan &plan);

  bool Empty() const { return m_steps.empty(); }

  // The tree's value, as Evaluate gives it. Allocates nothing and takes
  // no lock.
  std::pair<bool, double> Run(std::uintptr_t context) const {
    return m_leaf != nullptr
               ? std::pair<bool, double>(true, FiniteOrZero(*m_leaf))
               : RunSteps(context);
  }

  // The same for a tree that is not one leaf (Leaf() is null): one call,
  // into the walk chosen for the program, which gives the pair itself.
  std::pair<bool, double> RunSteps(std::uintptr_t context) const {
    return m_walk(m_steps.data(), context);
  }

  const std::vector<FLAT_STEP> &Steps() const { return m_steps; }

  // The walk the steps take (see RunWalk in flat_program_run.h).
  FlatWalk WalkKind() const { return m_walkKind; }

  // The one variable or constant the tree is, or null.
  const double *Leaf() const { return m_leaf; }

  // Nesting the flat form takes; the parser stops at 256.
  static const int kMaxDepth = CVisitPlan::kMaxDepth;

private:
  typedef std::pair<bool, double> (*WALK)(const FLAT_STEP *steps,
                                          std::uintptr_t context);
  // Sets the walk from what the steps call and save.
  void ChooseWalk();

  // Set when the whole tree is one variable or constant: read directly.
  const double *m_leaf = nullptr;
  // Where no step calls anything, a lighter walk serves. Otherwise a
  // callback may evaluate again, so the walk takes stack for the running
  // values the steps save at once only: a host's depth of re-entry does
  // not depend on whether machine code was granted.
  FlatWalk m_walkKind = FlatWalk::kInline;
  WALK m_walk = nullptr;
  std::vector<FLAT_STEP> m_steps;
  // The constants leaves point at; not resized once built.
  std::vector<double> m_constants;
};

#endif
