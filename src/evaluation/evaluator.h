// Evaluation of a bound record tree.
#ifndef VOXEVAL_EVALUATION_EVALUATOR_H
#define VOXEVAL_EVALUATION_EVALUATOR_H

#include "evaluation/stoken.h"

#include <cstdint>

// The record's value; null records, kinds without a value and values that
// are not finite give 0.0.
double EvaluateSToken(const STOKEN *record, std::uintptr_t context);

// The value of a group read from left to right, each item combined with the
// running value by the item before it.
double EvaluateGroup(const STOKEN &group, std::uintptr_t context);

// A TT_FUNCTION record applied to x; 0.0 for any other record or a record
// without a target.
double ApplyFunction(const STOKEN &record, double x);

#endif
