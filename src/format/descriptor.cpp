#include "format/descriptor.h"

#include <algorithm>
#include <cstdio>

#include "base/fatal_error.h"
#include "format/cid.h"

namespace skarvel {

namespace {

std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// 32 bits from the CID generator's 15-bit values.
uint32_t randomWord() {
  constexpr int kHigh = 17, kMiddle = 2;
  return (nextCid() << kHigh) | (nextCid() << kMiddle) | (nextCid() & 3);
}

// The value of |name| in |lines|, or nothing.
const std::string* valueOf(const DdbLines& lines, const std::string& name) {
  for (const auto& [key, value] : lines) {
    if (key == name) return &value;
  }
  return nullptr;
}

// Sets |name| to |value| in |lines|, in its place or after the others.
void setLine(DdbLines& lines, const std::string& name, const std::string& value) {
  for (auto& [key, kept] : lines) {
    if (key == name) {
      kept = value;
      return;
    }
  }
  lines.emplace_back(name, value);
}

// The geometry importers expect: 16 heads for an IDE disk, else 255, 63
// sectors per track, and cylinders rounded up but at most 65535.
std::string importCylinders(const DiskDescriptor& descriptor, const SparseLayout& layout) {
  constexpr uint64_t kMaxCylinders = 65535;
  uint64_t perCylinder = importHeads(descriptor) * kGeometrySectors;
  uint64_t cylinders = (layout.capacitySectors() + perCylinder - 1) / perCylinder;
  return std::to_string(std::min(cylinders, kMaxCylinders));
}

}  // namespace

uint64_t importHeads(const DiskDescriptor& descriptor) {
  constexpr uint64_t kIdeHeads = 16;
  return descriptor.adapterType == "ide" ? kIdeHeads : kGeometryHeads;
}

DdbLines ddbLines(const DiskDescriptor& descriptor, const SparseLayout& layout) {
  const bool import = descriptor.ddbStyle == DdbStyle::kImport;
  // The hardware version prints as unsigned, like the rest of the text.
  DdbLines lines = {
      {"ddb.virtualHWVersion", std::to_string(static_cast<uint32_t>(descriptor.virtualHWVersion))},
      {"ddb.geometry.cylinders",
       import ? importCylinders(descriptor, layout)
              : std::to_string(layout.capacitySectors() / kSectorsPerCylinder)},
      {"ddb.geometry.heads", std::to_string(import ? importHeads(descriptor) : kGeometryHeads)},
      {"ddb.geometry.sectors", std::to_string(kGeometrySectors)},
      {"ddb.adapterType", descriptor.adapterType}};
  if (import) {
    // Tools the guest has not told of: the largest version, installed by
    // the guest's own packages; the long content ID ends with the CID.
    const std::string* tools = valueOf(descriptor.ddb, "ddb.toolsVersion");
    lines.emplace_back("ddb.toolsVersion", tools ? *tools : "2147483647");
    const std::string* install = valueOf(descriptor.ddb, "ddb.toolsInstallType");
    lines.emplace_back("ddb.toolsInstallType", install ? *install : "4");
    lines.emplace_back("ddb.longContentID", hex8(randomWord()) + hex8(randomWord()) +
                                                hex8(randomWord()) + hex8(descriptor.CID));
  }
  if (descriptor.ddbStyle != DdbStyle::kPlain) {
    for (const auto& [name, value] : descriptor.ddb) {
      if (!valueOf(lines, name)) lines.emplace_back(name, value);
    }
  }
  for (const auto& [name, value] : descriptor.ddbSettings) setLine(lines, name, value);
  return lines;
}

DiskDescriptor::DiskDescriptor() : CID(nextCid()) {}

DiskDescriptor::DiskDescriptor(int32_t hardwareVersion, const std::string& adapter)
    : CID(nextCid()), virtualHWVersion(hardwareVersion), adapterType(adapter) {}

bool DiskDescriptor::hasParent() const {
  return parentCID != kNoParentCID && !parentFileNameHint.empty();
}

void DiskDescriptor::renewCID() { CID = nextCid(); }

bool quotesCleanly(const std::string& name) {
  return name.find_first_of("\"\r\n") == std::string::npos;
}

std::optional<std::pair<std::string, std::string>> parseDdbSetting(const std::string& text) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) return std::nullopt;
  std::string name = text.substr(0, equals), value = text.substr(equals + 1);
  if (!isPlainSetting(name) || !isPlainSetting(value) || value.find('=') != std::string::npos ||
      name.find(' ') != std::string::npos) {
    return std::nullopt;
  }
  return std::make_pair("ddb." + name, value);
}

bool isPlainSetting(const std::string& value) {
  constexpr unsigned char kFirstPrintable = 0x20, kDelete = 0x7F;
  for (char c : value) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || byte < kFirstPrintable || byte == kDelete) return false;
  }
  return true;
}

std::string headerSection(const DiskDescriptor& descriptor) {
  std::string text = "# Disk DescriptorFile\nversion=1\n";
  if (descriptor.ddbStyle == DdbStyle::kImport) text += "encoding=\"UTF-8\"\n";
  text += "CID=" + hex8(descriptor.CID) + "\n";
  text += "parentCID=" + hex8(descriptor.parentCID) + "\n";
  text += "createType=\"" + descriptor.createType + "\"\n";
  if (!descriptor.parentFileNameHint.empty()) {
    text += "parentFileNameHint=\"" + descriptor.parentFileNameHint + "\"\n";
  }
  return text + "\n";
}

std::string extentSection(uint64_t sectors, const std::string& fileName) {
  return kExtentSectionTitle + std::string("RW ") + std::to_string(sectors) + " SPARSE \"" +
         fileName + "\"\n\n\n";
}

std::string extentLine(const ExtentDescriptor& extent) {
  std::string text = extent.access;
  text.append(" ").append(std::to_string(extent.size)).append(" ").append(extent.type);
  // A ZERO extent has no file; a FLAT one always names its offset.
  if (extent.type != kZeroExtentType) text.append(" \"").append(extent.fileName).append("\"");
  if (extent.offset != 0 || extent.type == kFlatExtentType) {
    text.append(" ").append(std::to_string(extent.offset));
  }
  return text.append("\n");
}

std::string extentSection(const ExtentList& extents) {
  std::string text = kExtentSectionTitle;
  for (const ExtentDescriptor& extent : extents) text += extentLine(extent);
  return text + "\n";
}

std::string ddbSection(const DiskDescriptor& descriptor, const SparseLayout& layout,
                       bool includeDdb) {
  std::string text = "# The Disk Data Base\n#DDB\n\n";
  // Without the database a child has, the user's lines stand alone.
  for (const auto& [name, value] :
       includeDdb ? ddbLines(descriptor, layout) : descriptor.ddbSettings) {
    text += name + " = \"" + value + "\"\n";
  }
  return text;
}

std::string composeDescriptor(const DiskDescriptor& descriptor, const SparseLayout& layout,
                              const std::string& fileName, bool includeDdb,
                              uint64_t extentSectors) {
  if (extentSectors == 0) extentSectors = layout.capacitySectors();
  return headerSection(descriptor) + extentSection(extentSectors, fileName) +
         ddbSection(descriptor, layout, includeDdb);
}

std::string composeDescriptor(const DiskDescriptor& descriptor, const SparseLayout& layout,
                              const ExtentList& extents, bool includeDdb) {
  return headerSection(descriptor) + extentSection(extents) +
         ddbSection(descriptor, layout, includeDdb);
}

void checkDescriptorFits(const std::string& text, const std::string& outputPath,
                         uint64_t areaBytes) {
  // The zero byte after the text is what ends it for a reader.
  if (text.size() >= areaBytes) throw FatalError("Descriptor too long for " + outputPath);
}

}  // namespace skarvel
