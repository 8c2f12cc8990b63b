#include "cli/paths.h"

namespace skarvel {

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

}  // namespace skarvel
