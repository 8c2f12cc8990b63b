// Path text functions shared by readers, writers and commands.
//
// Both '/' and '\' separate directories on every platform, so images made on
// one system open on another.
#ifndef SKARVEL_CLI_PATHS_H_
#define SKARVEL_CLI_PATHS_H_

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

}  // namespace skarvel

#endif  // SKARVEL_CLI_PATHS_H_
