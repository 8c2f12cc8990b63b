#include "base/paths.h"

#include <algorithm>
#include <vector>

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

// Where the system itself takes '\' as a separator (Windows), a relative
// hint is written with '/' instead, so that the image opens again where '\'
// is an ordinary character. Elsewhere '\' may be part of a file's name and
// stays.
#ifdef _WIN32
constexpr bool kSystemSeparatesWithBackslash = true;
#else
constexpr bool kSystemSeparatesWithBackslash = false;
#endif

std::string portable(std::string hint) {
  if (kSystemSeparatesWithBackslash) std::replace(hint.begin(), hint.end(), '\\', '/');
  return hint;
}

}  // namespace

bool isPathSeparator(char c) { return c == '/' || c == '\\'; }

void splitPath(const std::string& path, std::string& directory, std::string& fileName) {
  // Walk back from the end while the position is after the first character
  // and holds no separator; a separator found is kept with the directory.
  size_t position = path.size();
  while (position > 0 && !(position < path.size() && isPathSeparator(path[position]))) {
    --position;
  }
  if (position < path.size() && isPathSeparator(path[position])) ++position;
  directory = path.substr(0, position);
  fileName = path.substr(position);
}

bool isAbsolutePath(const std::string& path) {
  if (!path.empty() && isPathSeparator(path[0])) return true;
  return path.size() > 3 && path[1] == ':' && isPathSeparator(path[2]);
}

std::string resolveAgainst(const std::string& directory, const std::string& fileName) {
  return isAbsolutePath(fileName) ? fileName : directory + fileName;
}

std::string parentHintFor(const std::string& parentPath, const std::string& childPath,
                          const std::string& workingDirectory) {
  std::string childDirectory, childName;
  splitPath(childPath, childDirectory, childName);
  if (isAbsolutePath(parentPath)) return parentPath;
  if (childDirectory.empty()) return portable(parentPath);

  std::vector<std::string> from = normalComponents(childDirectory);
  std::vector<std::string> to = normalComponents(parentPath);
  size_t common = 0;
  // The last component of |to| is the parent's file name, never a directory.
  while (common < from.size() && common + 1 < to.size() && from[common] == to[common]) ++common;
  bool climbsOut = std::find(from.begin() + common, from.end(), "..") != from.end();
  if (isAbsolutePath(childDirectory) || climbsOut) {
    return portable(workingDirectory.empty() ? parentPath : workingDirectory + "/" + parentPath);
  }
  std::string hint;
  for (size_t i = common; i < from.size(); ++i) hint += "../";
  for (size_t i = common; i < to.size(); ++i) {
    hint += to[i];
    if (i + 1 < to.size()) hint += '/';
  }
  return hint;
}

}  // namespace skarvel
