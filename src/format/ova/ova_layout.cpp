#include "format/ova/ova_layout.h"

#include "base/paths.h"

namespace skarvel {

namespace {

bool isNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
         c == '.' || c == '_' || c == '-' || c == '+';
}

}  // namespace

bool isPackageName(const std::string& name) {
  if (name.empty() || name.size() > kMaxPackageNameBytes || name[0] == '.' || name[0] == ' ') {
    return false;
  }
  for (char c : name) {
    if (!isNameCharacter(c)) return false;
  }
  return true;
}

std::string packageNameOf(const std::string& outputPath) {
  std::string directory, fileName;
  splitPath(outputPath, directory, fileName);
  if (fileName.ends_with(kOvaExtension)) {
    fileName.resize(fileName.size() - std::char_traits<char>::length(kOvaExtension));
  }
  return fileName;
}

OvaLayout::OvaLayout(const std::string& packageName, uint64_t ovfBytes, uint64_t manifestBytes)
    : ovfName(packageName + kOvfExtension),
      manifestName(packageName + kManifestExtension),
      diskName(packageName + kOvaDiskSuffix),
      ovfBytes(ovfBytes),
      manifestBytes(manifestBytes) {}

}  // namespace skarvel
