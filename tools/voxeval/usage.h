#ifndef VOXEVAL_USAGE_H
#define VOXEVAL_USAGE_H

namespace voxeval {

// What --help prints.
extern const char kUsage[];

} // namespace voxeval

#endif
