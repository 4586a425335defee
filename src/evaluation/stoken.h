// The plain evaluation record and its allocation, copy and release.
#ifndef VOXEVAL_EVALUATION_STOKEN_H
#define VOXEVAL_EVALUATION_STOKEN_H

#include "builder/token_type.h"

#include <cstddef>
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

// The layout hosts and tools read records by: the value after two pointer
// words (8 bytes with 32-bit pointers, 16 with 64-bit ones), a group's
// count and items sharing it.
static_assert(sizeof(TOKEN_TYPE) == 4, "a record's type is 32 bits");
static_assert(offsetof(STOKEN, name) == sizeof(void *), "name after type");
static_assert(offsetof(STOKEN, value) == 2 * sizeof(void *),
              "value after name");
static_assert(offsetof(STOKEN_GROUP, items) == sizeof(void *),
              "items after count");
static_assert(sizeof(STOKEN) == 4 * sizeof(void *), "four pointer words");

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
