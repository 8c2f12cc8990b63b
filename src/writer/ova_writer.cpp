#include "writer/ova_writer.h"

#include <algorithm>
#include <vector>

#include "base/fatal_error.h"
#include "format/ova/ova_manifest.h"
#include "format/units.h"
#include "platform/file.h"

namespace skarvel {

namespace {

OvfDisk diskFacts(const std::string& fileName, const SparseLayout& layout) {
  OvfDisk disk;
  disk.fileName = fileName;
  disk.capacityBytes = layout.capacitySectors() * kSectorBytes;
  return disk;
}

// The layout of a package named |name|: the envelope at its longest, the
// manifest's two lines.
OvaLayout ovaLayout(const OvaSettings& settings, const SparseLayout& layout) {
  OvaLayout names(settings.machine.name, 0, 0);
  uint64_t ovfBytes = ovfReservedBytes(settings.machine, diskFacts(names.diskName, layout));
  uint64_t manifestBytes = manifestLineBytes(settings.digest, names.ovfName) +
                           manifestLineBytes(settings.digest, names.diskName);
  return OvaLayout(settings.machine.name, ovfBytes, manifestBytes);
}

}  // namespace

VMDKOvaWriter::VMDKOvaWriter(int fd, const std::string& path, const SparseLayout& layout,
                             const std::string& descriptorText, const OvaSettings& settings)
    : VMDKWriter(fd, path, layout),
      settings_(settings),
      ova_(ovaLayout(settings, layout)),
      diskDigest_(settings.digest) {
  // Zeros up to the disk's data: the header blocks and documents come last.
  std::vector<uint8_t> reserved(ova_.diskAt(), 0);
  if (!platform::writeFile(fd_, reserved.data(), static_cast<uint32_t>(reserved.size()))) {
    failWrite();
  }
  disk_ = std::make_unique<VMDKStreamWriter>(
      fd_, path, layout, descriptorText,
      [this](const uint8_t* data, size_t length) { observeDisk(data, length); });
}

VMDKOvaWriter::~VMDKOvaWriter() = default;

void VMDKOvaWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  if (grain >= layout_.grainCount || length == 0) return;
  disk_->writeGrain(grain, data, length);
  ++grainsStored_;
}

void VMDKOvaWriter::close() {
  if (fd_ >= 0) {
    disk_->close();
    // The disk's padding (none: a stream is whole sectors) and the end.
    std::vector<uint8_t> end(tarPaddingBytes(diskBytes_) + kTarEndBytes, 0);
    writeAt(ova_.diskAt() + diskBytes_, end.data(), end.size());

    OvfDisk disk = diskFacts(ova_.diskName, layout_);
    disk.fileBytes = diskBytes_;
    disk.populatedBytes = std::min(grainsStored_ * kGrainBytes, disk.capacityBytes);
    std::string ovf = ovfDocument(settings_.machine, disk);
    if (ovf.size() > ova_.ovfBytes) failWrite();
    ovf = padDocument(ovf, ova_.ovfBytes);
    platform::Digest ovfDigest(settings_.digest);
    ovfDigest.update(ovf.data(), ovf.size());
    std::string manifest = manifestLine(settings_.digest, ova_.ovfName, ovfDigest.finishHex()) +
                           manifestLine(settings_.digest, ova_.diskName, diskDigest_.finishHex());
    if (manifest.size() != ova_.manifestBytes) failWrite();

    TarBlock diskHeader = encodeTarHeader(ova_.diskName, diskBytes_, settings_.mtime);
    writeAt(ova_.diskAt() - kTarBlockBytes, diskHeader.data(), diskHeader.size());
    writeMember(ova_.manifestName, ova_.manifestAt() - kTarBlockBytes, manifest);
    writeMember(ova_.ovfName, 0, ovf);
    // On the disk before the package takes the output's name.
    if (!platform::syncFile(fd_)) failWrite();
  }
  VMDKWriter::close();
}

// The content first, then the header that makes it a member.
void VMDKOvaWriter::writeMember(const std::string& name, uint64_t headerAt,
                                const std::string& content) {
  writeAt(headerAt + kTarBlockBytes, content.data(), content.size());
  TarBlock header = encodeTarHeader(name, content.size(), settings_.mtime);
  writeAt(headerAt, header.data(), header.size());
}

void VMDKOvaWriter::writeAt(uint64_t offset, const void* data, uint64_t length) {
  if (!platform::writeFileAt(fd_, offset, data, static_cast<uint32_t>(length))) failWrite();
}

void VMDKOvaWriter::observeDisk(const uint8_t* data, size_t length) {
  diskDigest_.update(data, length);
  diskBytes_ += length;
}

}  // namespace skarvel
