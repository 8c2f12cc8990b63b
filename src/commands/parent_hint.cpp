#include "commands/parent_hint.h"

#include <vector>

#include "cli/paths.h"

namespace skarvel {

namespace {

// The components of a relative path with "." dropped and "name/.." pairs
// removed; leading ".." components stay.
std::vector<std::string> normalComponents(const std::string& path) {
  std::vector<std::string> components;
  std::string current;
  auto push = [&components](const std::string& part) {
    if (part.empty() || part == ".") return;
    if (part == ".." && !components.empty() && components.back() != "..") {
      components.pop_back();
    } else {
      components.push_back(part);
    }
  };
  for (char c : path) {
    if (isPathSeparator(c)) {
      push(current);
      current.clear();
    } else {
      current += c;
    }
  }
  push(current);
  return components;
}

}  // namespace

std::string parentHintFor(const std::string& parentPath, const std::string& childPath,
                          const std::string& workingDirectory) {
  std::string childDirectory, childName;
  splitPath(childPath, childDirectory, childName);
  if (isAbsolutePath(parentPath) || childDirectory.empty()) return parentPath;

  std::vector<std::string> from = normalComponents(childDirectory);
  bool climbsOut = !from.empty() && from.front() == "..";
  if (isAbsolutePath(childDirectory) || climbsOut) {
    // Without a known working directory the path as typed is the best left.
    return workingDirectory.empty() ? parentPath : workingDirectory + "/" + parentPath;
  }

  std::vector<std::string> to = normalComponents(parentPath);
  size_t common = 0;
  // The last component of |to| is the parent's file name, never a directory.
  while (common < from.size() && common + 1 < to.size() && from[common] == to[common]) ++common;
  std::string hint;
  for (size_t i = common; i < from.size(); ++i) hint += "../";
  for (size_t i = common; i < to.size(); ++i) {
    hint += to[i];
    if (i + 1 < to.size()) hint += '/';
  }
  return hint;
}

}  // namespace skarvel
