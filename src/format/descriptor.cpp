#include "format/descriptor.h"

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

}  // namespace

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
  if (!includeDdb) return text;
  uint64_t cylinders = layout.capacitySectors() / kSectorsPerCylinder;
  // The hardware version prints as unsigned, like the rest of the text.
  text += "ddb.virtualHWVersion = \"" +
          std::to_string(static_cast<uint32_t>(descriptor.virtualHWVersion)) + "\"\n";
  text += "ddb.geometry.cylinders = \"" + std::to_string(cylinders) + "\"\n";
  text += "ddb.geometry.heads = \"" + std::to_string(kGeometryHeads) + "\"\n";
  text += "ddb.geometry.sectors = \"" + std::to_string(kGeometrySectors) + "\"\n";
  text += "ddb.adapterType = \"" + descriptor.adapterType + "\"\n";
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
