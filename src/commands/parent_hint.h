// The parent file name a new child records, so that readers find the parent.
#ifndef SKARVEL_COMMANDS_PARENT_HINT_H_
#define SKARVEL_COMMANDS_PARENT_HINT_H_

#include <string>

namespace skarvel {

// Readers resolve a relative hint against the directory of the child that
// holds it, so the hint for a parent at |parentPath| (as typed) and a child at
// |childPath| is:
//   - |parentPath| unchanged when it is absolute or |childPath| has no
//     directory part;
//   - otherwise |parentPath| relative to the child's directory, worked out on
//     the text alone ('/' and '\' both separate; "." and "name/.." pairs are
//     removed) and joined with '/': ("a/base.vmdk", "b/child.vmdk") gives
//     "../a/base.vmdk";
//   - the parent's absolute path (working directory + |parentPath|) where no
//     relative path can be formed from the text: a child directory that is
//     absolute or climbs out with "..".
std::string parentHintFor(const std::string& parentPath, const std::string& childPath,
                          const std::string& workingDirectory);

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_PARENT_HINT_H_
