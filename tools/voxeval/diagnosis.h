// Explanations in words for what the library only answers with yes or no:
// why a formula does not compile, and why the syntax check rejects a formula
// that compiles. The library gives no position, so these are likely causes
// found by reading the text the way the library reads it.
#ifndef VOXEVAL_DIAGNOSIS_H
#define VOXEVAL_DIAGNOSIS_H

#include <VOXEvalExpressions.h>

#include <string>
#include <vector>

namespace voxeval {

// Likely causes for a text that does not compile; empty when none is found.
std::vector<std::string> WhyNoCompile(IVOXExpressionParser &parser,
                                      const std::u16string &text);

// Likely causes for a text that compiles but that the check rejects.
std::vector<std::string> WhyCheckRejects(IVOXExpressionParser &parser,
                                         const std::u16string &text);

// True when the text mentions the name as a token of its own.
bool Mentions(IVOXExpressionParser &parser, const std::u16string &text,
              const std::u16string &name);

} // namespace voxeval

#endif
