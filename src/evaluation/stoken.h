// The plain evaluation record and its allocation, copy and release.
#ifndef VOXEVAL_EVALUATION_STOKEN_H
#define VOXEVAL_EVALUATION_STOKEN_H

#include "builder/token_type.h"

#include <cstdint>
#include <memory>

struct STOKEN;

// A group's items: one contiguous array in expression order.
struct STOKEN_GROUP {
  std::int32_t count;
  STOKEN *items;
};

// No constructor on purpose: records are allocated zero-filled in blocks and
// released explicitly, the holder of a block freeing the block itself.
struct STOKEN {
  TOKEN_TYPE type;
  // Zero-terminated narrow name in a malloc block of its own, or null.
  char *name;
  union {
    std::int32_t ival;
    float fval;
    double dval;
    std::int32_t *iref;
    float *fref;
    double *dref;
    EVAL_FUNCTION func;
    EVAL_CALLBACK callback;
    STOKEN_GROUP group;
  } value;
};

// One zero-filled block of n records (null for n <= 0). Throws
// std::bad_alloc when memory cannot be had.
STOKEN *AllocSTokens(std::int32_t n);

// Releases what the record owns (name, items) and leaves it TT_NONE.
void FreeSToken(STOKEN &record);

// Releases what a root record owns, then the root's own block (as
// AllocSTokens(1) gave it); null is ignored.
void FreeRecordTree(STOKEN *root);

// The compiled records of a tree, owned.
struct RECORD_TREE_DELETER {
  void operator()(STOKEN *root) const { FreeRecordTree(root); }
};
typedef std::unique_ptr<STOKEN, RECORD_TREE_DELETER> RECORDS_PTR;

// Deep copy of n records over dst, releasing what dst held first.
void CopySTokens(STOKEN *dst, const STOKEN *src, std::int32_t n);

#endif
