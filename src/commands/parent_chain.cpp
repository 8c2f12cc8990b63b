#include "commands/parent_chain.h"

#include "base/paths.h"
#include "platform/file.h"
#include "reader/chain_reader.h"

namespace skarvel {

namespace {

constexpr int kReadOnly = platform::kOpenBinary | platform::kOpenReadOnly;
constexpr int kReadLocked = kReadOnly | platform::kOpenLockRead;

}  // namespace

std::unique_ptr<VMDKReader> openParentsOf(const VMDKReader& image, const std::string& path) {
  if (!image.descriptor().hasParent()) return nullptr;
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  std::string parentPath = resolveAgainst(directory, image.descriptor().parentFileNameHint);
  openWithParents(parentPath, kReadOnly, kReadOnly);
  return openWithParents(parentPath, kReadLocked, kReadLocked);
}

}  // namespace skarvel
