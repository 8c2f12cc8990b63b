// The chain below an image that a command changes in place: what the image
// shows where it holds nothing itself.
#ifndef SKARVEL_COMMANDS_PARENT_CHAIN_H_
#define SKARVEL_COMMANDS_PARENT_CHAIN_H_

#include <memory>
#include <string>

#include "reader/vmdk_reader.h"

namespace skarvel {

// The chain below |image| (opened from |path|) as one reader, locked for
// reading, or null when it names no parent. A chain that loops back to the
// image is told apart from a lock held by another program before the chain
// is locked ("Parent chain loops back to " + parent path): locked, the
// image's own lock would refuse it. Passes on the failures of opening it.
std::unique_ptr<VMDKReader> openParentsOf(const VMDKReader& image, const std::string& path);

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_PARENT_CHAIN_H_
