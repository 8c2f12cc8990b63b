#include "format/ova/ovf_references.h"

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "platform/xml.h"

namespace skarvel {

namespace {

using platform::XmlElement;

std::string attributeOr(const XmlElement& element, std::string_view name) {
  const std::string* value = element.attribute(name);
  return value ? *value : std::string();
}

// "byte" is a factor of 1; "byte * 2^N" of 2^N (N below 64). White space
// around the parts is allowed, as writers put it differently.
std::optional<uint64_t> unitFactor(std::string_view units) {
  auto trim = [](std::string_view text) {
    while (!text.empty() && isAsciiSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isAsciiSpace(text.back())) text.remove_suffix(1);
    return text;
  };
  units = trim(units);
  if (units.empty() || units == "byte") return 1;
  constexpr std::string_view kByte = "byte", kPower = "2^";
  if (!units.starts_with(kByte)) return std::nullopt;
  units = trim(units.substr(kByte.size()));
  if (!units.starts_with('*')) return std::nullopt;
  units = trim(units.substr(1));
  if (!units.starts_with(kPower)) return std::nullopt;
  std::optional<uint64_t> power = readDecimal64(units.substr(kPower.size()));
  if (!power || *power >= 64) return std::nullopt;
  return uint64_t{1} << *power;
}

std::optional<uint64_t> capacityBytes(const XmlElement& disk) {
  std::optional<uint64_t> capacity = readDecimal64(attributeOr(disk, "capacity"));
  std::optional<uint64_t> factor = unitFactor(attributeOr(disk, "capacityAllocationUnits"));
  if (!capacity || !factor || (*capacity != 0 && *factor > UINT64_MAX / *capacity)) {
    return std::nullopt;
  }
  return *capacity * *factor;
}

}  // namespace

const OvfFile* OvfReferences::fileWithId(std::string_view id) const {
  for (const OvfFile& file : files) {
    if (file.id == id) return &file;
  }
  return nullptr;
}

OvfReferences parseOvfReferences(std::string_view document, const std::string& path) {
  XmlElement envelope;
  if (!platform::parseXml(document, &envelope) || envelope.name != "Envelope") {
    throw FatalError("Invalid OVF " + path);
  }
  OvfReferences result;
  if (const XmlElement* references = envelope.child("References")) {
    for (const XmlElement& file : references->children) {
      if (file.name != "File") continue;
      result.files.push_back(
          {attributeOr(file, "href"), attributeOr(file, "id"), attributeOr(file, "size")});
    }
  }
  if (const XmlElement* disks = envelope.child("DiskSection")) {
    for (const XmlElement& disk : disks->children) {
      if (disk.name != "Disk" || attributeOr(disk, "fileRef").empty()) continue;
      result.disks.push_back({attributeOr(disk, "diskId"), attributeOr(disk, "fileRef"),
                              attributeOr(disk, "format"), capacityBytes(disk)});
    }
  }
  return result;
}

}  // namespace skarvel
