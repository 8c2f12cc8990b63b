#include "format/ova/ovf_envelope.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "base/fatal_error.h"

namespace skarvel {

namespace {

using platform::XmlElement;

constexpr const char* kOvfNamespace = "http://schemas.dmtf.org/ovf/envelope/1";
constexpr const char* kRasdNamespace =
    "http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/CIM_ResourceAllocationSettingData";
constexpr const char* kVssdNamespace =
    "http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/CIM_VirtualSystemSettingData";
constexpr const char* kStreamOptimizedFormat =
    "http://www.vmware.com/interfaces/specifications/vmdk.html#streamOptimized";
constexpr const char* kFileId = "file1";
constexpr const char* kDiskId = "vmdisk1";
constexpr const char* kOtherOperatingSystem = "100";
constexpr int32_t kOldestHardwareFamily = 4;

// Resource types of the CIM schema, and the instance ids the items get.
constexpr const char* kProcessorType = "3";
constexpr const char* kMemoryType = "4";
constexpr const char* kScsiControllerType = "6";
constexpr const char* kDiskType = "17";
constexpr const char* kControllerInstance = "3";

XmlElement textElement(const std::string& name, const std::string& text) {
  XmlElement element;
  element.name = name;
  element.text = text;
  return element;
}

XmlElement section(const std::string& name, const std::string& info) {
  XmlElement element;
  element.name = name;
  element.children.push_back(textElement("Info", info));
  return element;
}

// An Item of the hardware section; |fields| are its rasd: children in the
// alphabetical order the schema asks for.
XmlElement item(std::initializer_list<std::pair<const char*, std::string>> fields) {
  XmlElement element;
  element.name = "Item";
  for (const auto& [field, value] : fields) {
    element.children.push_back(textElement(std::string("rasd:") + field, value));
  }
  return element;
}

XmlElement references(const OvfDisk& disk) {
  XmlElement file;
  file.name = "File";
  file.attributes = {{"ovf:href", disk.fileName},
                     {"ovf:id", kFileId},
                     {"ovf:size", std::to_string(disk.fileBytes)}};
  XmlElement element;
  element.name = "References";
  element.children.push_back(file);
  return element;
}

XmlElement diskSection(const OvfDisk& disk) {
  XmlElement element = section("DiskSection", "Virtual disk information");
  XmlElement entry;
  entry.name = "Disk";
  entry.attributes = {{"ovf:capacity", std::to_string(disk.capacityBytes)},
                      {"ovf:capacityAllocationUnits", "byte"},
                      {"ovf:diskId", kDiskId},
                      {"ovf:fileRef", kFileId},
                      {"ovf:format", kStreamOptimizedFormat},
                      {"ovf:populatedSize", std::to_string(disk.populatedBytes)}};
  element.children.push_back(entry);
  return element;
}

std::string systemType(int32_t hardwareVersion) {
  char text[32];
  std::snprintf(text, sizeof text, "vmx-%02d", std::max(hardwareVersion, kOldestHardwareFamily));
  return text;
}

XmlElement hardwareSection(const OvfMachine& machine) {
  XmlElement element = section("VirtualHardwareSection", "Virtual hardware requirements");
  XmlElement system;
  system.name = "System";
  system.children = {textElement("vssd:ElementName", "Virtual Hardware Family"),
                     textElement("vssd:InstanceID", "0"),
                     textElement("vssd:VirtualSystemIdentifier", machine.name),
                     textElement("vssd:VirtualSystemType", systemType(machine.hardwareVersion))};
  std::string cpus = std::to_string(machine.cpus), memory = std::to_string(machine.memoryMiB);
  element.children.push_back(system);
  element.children.push_back(item({{"AllocationUnits", "hertz * 10^6"},
                                   {"Description", "Number of Virtual CPUs"},
                                   {"ElementName", cpus + " virtual CPU(s)"},
                                   {"InstanceID", "1"},
                                   {"ResourceType", kProcessorType},
                                   {"VirtualQuantity", cpus}}));
  element.children.push_back(item({{"AllocationUnits", "byte * 2^20"},
                                   {"Description", "Memory Size"},
                                   {"ElementName", memory + "MB of memory"},
                                   {"InstanceID", "2"},
                                   {"ResourceType", kMemoryType},
                                   {"VirtualQuantity", memory}}));
  element.children.push_back(item({{"Address", "0"},
                                   {"Description", "SCSI Controller"},
                                   {"ElementName", "SCSI Controller 0"},
                                   {"InstanceID", kControllerInstance},
                                   {"ResourceSubType", scsiSubtype(machine.adapterType)},
                                   {"ResourceType", kScsiControllerType}}));
  element.children.push_back(item({{"AddressOnParent", "0"},
                                   {"ElementName", "Hard Disk 1"},
                                   {"HostResource", std::string("ovf:/disk/") + kDiskId},
                                   {"InstanceID", "4"},
                                   {"Parent", kControllerInstance},
                                   {"ResourceType", kDiskType}}));
  return element;
}

XmlElement virtualSystem(const OvfMachine& machine) {
  XmlElement element = section("VirtualSystem", "A virtual machine");
  element.attributes = {{"ovf:id", machine.name}};
  element.children.push_back(textElement("Name", machine.name));
  XmlElement system =
      section("OperatingSystemSection", "The kind of installed guest operating system");
  system.attributes = {{"ovf:id", kOtherOperatingSystem}};
  element.children.push_back(system);
  element.children.push_back(hardwareSection(machine));
  return element;
}

}  // namespace

std::string scsiSubtype(const std::string& adapterType) {
  if (adapterType == "buslogic") return "buslogic";
  if (adapterType == "lsisas1068") return "lsilogicsas";
  if (adapterType == "pvscsi") return "VirtualSCSI";
  return "lsilogic";
}

XmlElement ovfEnvelope(const OvfMachine& machine, const OvfDisk& disk) {
  XmlElement envelope;
  envelope.name = "Envelope";
  envelope.attributes = {{"xmlns", kOvfNamespace},
                         {"xmlns:ovf", kOvfNamespace},
                         {"xmlns:rasd", kRasdNamespace},
                         {"xmlns:vssd", kVssdNamespace}};
  envelope.children = {references(disk), diskSection(disk), virtualSystem(machine)};
  return envelope;
}

std::string ovfDocument(const OvfMachine& machine, const OvfDisk& disk) {
  std::string document;
  if (!platform::writeXml(ovfEnvelope(machine, disk), &document)) {
    throw FatalError("Cannot write package description");
  }
  return document;
}

uint64_t ovfReservedBytes(const OvfMachine& machine, const OvfDisk& disk) {
  OvfDisk longest = disk;
  longest.fileBytes = longest.populatedBytes = std::numeric_limits<uint64_t>::max();
  return ovfDocument(machine, longest).size();
}

std::string padDocument(const std::string& document, uint64_t length) {
  std::string padded = document;
  if (padded.size() < length) {
    padded.resize(length - 1, ' ');
    padded += '\n';
  }
  return padded;
}

}  // namespace skarvel
