// Path text: splitting, the absolute test, resolving a name against a
// directory, and the relative name one file records for another.
//
// Both '/' and '\' separate directories on every platform, so images made on
// one system open on another. Nothing here touches the file system.
#ifndef SKARVEL_BASE_PATHS_H_
#define SKARVEL_BASE_PATHS_H_

#include <string>

namespace skarvel {

bool isPathSeparator(char c);

// Splits |path| at its last separator: |directory| keeps that separator at its
// end (empty when there is none), |fileName| is the rest.
// "dir/sub/a.vmdk" gives "dir/sub/" and "a.vmdk"; "/a.vmdk" gives "/" and
// "a.vmdk"; "dir\" gives "dir\" and "".
void splitPath(const std::string& path, std::string& directory, std::string& fileName);

// True for "/x" and "\x", and for a drive form longer than three characters
// whose second character is ':' and third a separator ("D:\images\a.vmdk").
// "D:\" alone, "D:a.vmdk" and "images/a.vmdk" are relative.
bool isAbsolutePath(const std::string& path);

// The path under which a file recorded as |fileName| by a file in
// |directory| (a directory part as splitPath gives it) is found: the name
// itself when absolute, else directory + name.
std::string resolveAgainst(const std::string& directory, const std::string& fileName);

// The name a child at |childPath| records for its parent at |parentPath|
// (both as typed), so that resolveAgainst(child's directory, name) reaches
// the parent:
//   - |parentPath| unchanged when it is absolute or |childPath| has no
//     directory part (on Windows, a relative one with '\' turned into '/');
//   - otherwise |parentPath| relative to the child's directory, worked out on
//     the text alone ('/' and '\' both separate; "." and "name/.." pairs are
//     removed first; the common leading components of both are dropped) and
//     joined with '/': ("a/base.vmdk", "b/child.vmdk") gives "../a/base.vmdk",
//     ("../s/base.vmdk", "../t/child.vmdk") gives "../s/base.vmdk";
//   - |workingDirectory| + "/" + |parentPath| where the text cannot give a
//     relative path: the child's directory is absolute, or a ".." remains in
//     it after the common components (the name of a directory above the
//     working directory would be needed). With an unknown (empty) working
//     directory, |parentPath| unchanged. On Windows, '\' becomes '/' here
//     too, so that every hint written with a relative part uses '/'.
std::string parentHintFor(const std::string& parentPath, const std::string& childPath,
                          const std::string& workingDirectory);

}  // namespace skarvel

#endif  // SKARVEL_BASE_PATHS_H_
