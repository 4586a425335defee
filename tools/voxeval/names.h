// Names and values: what a name on the command line or in a CSV header means
// to the library, and setting it. Only the public interface is used, so what a
// name denotes is found by asking the parser, not by a list of our own.
#ifndef VOXEVAL_NAMES_H
#define VOXEVAL_NAMES_H

#include "options.h"

#include <VOXEvalExpressions.h>

#include <string>
#include <vector>

namespace voxeval {

// The library's UTF-16 form of a UTF-8 argument; throws Failure (invalid
// UTF-8) naming `what` in the message.
std::u16string ToLibraryText(const std::string &utf8, const std::string &what);

// Sets each NAME=VALUE, making unknown names host variables. Runs before any
// formula is compiled, so that the formulas know the new names and take a
// constant such as pi=3 into account. Throws Failure.
void ApplyAssignments(IVOXExpressionParser &parser,
                      const std::vector<Assignment> &assignments);

// Makes a name whose value changes per row (a CSV column, a grid axis)
// settable, and refuses names that cannot vary per row. `where` says where
// the name came from; failures carry `code`. Throws Failure.
void DeclareRowVariable(IVOXExpressionParser &parser, const std::string &name,
                        const std::string &where, int code);

} // namespace voxeval

#endif
