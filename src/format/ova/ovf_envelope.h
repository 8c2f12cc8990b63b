// The OVF envelope of an OVA package: one virtual machine with one
// stream-optimized disk, in the form ESXi, vCenter and VirtualBox import.
//
//   Envelope (OVF 1.x namespaces)
//     References/File           href the disk member, size its exact bytes
//     DiskSection/Disk          capacity in bytes, populated size, the
//                               streamOptimized format URI
//     VirtualSystem             Info, Name,
//       OperatingSystemSection  id 100 (other)
//       VirtualHardwareSection  System (vmx-NN), CPUs (resource type 3),
//                               memory in MiB (4), one SCSI controller (6),
//                               the disk on it (17)
//
// The tree is written by the system's XML library (platform::writeXml).
#ifndef SKARVEL_FORMAT_OVA_OVF_ENVELOPE_H_
#define SKARVEL_FORMAT_OVA_OVF_ENVELOPE_H_

#include <cstdint>
#include <string>

#include "platform/xml.h"

namespace skarvel {

// The machine the package describes.
struct OvfMachine {
  std::string name;
  uint64_t cpus = 1;
  uint64_t memoryMiB = 1024;
  int32_t hardwareVersion = 4;  // of the disk; below 4 it is taken as 4
  std::string adapterType = "lsilogic";
};

// The disk member.
struct OvfDisk {
  std::string fileName;
  uint64_t fileBytes = 0;
  uint64_t capacityBytes = 0;
  uint64_t populatedBytes = 0;
};

// The SCSI controller's ResourceSubType for a disk's adapter type:
// buslogic, lsilogicsas (lsisas1068) and VirtualSCSI (pvscsi) as named, and
// lsilogic for every other (ide too: the package's one controller is SCSI).
std::string scsiSubtype(const std::string& adapterType);

platform::XmlElement ovfEnvelope(const OvfMachine& machine, const OvfDisk& disk);

// The document: the envelope as the XML library writes it.
std::string ovfDocument(const OvfMachine& machine, const OvfDisk& disk);

// The length a document for |machine| and a disk named and sized as |disk|
// can reach, whatever its file and populated sizes turn out to be (both at
// their longest, 20 digits).
uint64_t ovfReservedBytes(const OvfMachine& machine, const OvfDisk& disk);

// |document| followed by white space (spaces, then a line feed), which XML
// allows after the root element, up to |length| bytes. REQUIRES: the
// document is no longer than |length|.
std::string padDocument(const std::string& document, uint64_t length);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_OVA_OVF_ENVELOPE_H_
