#include "image_builder.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace skarvel::test {

namespace {

void put32(Bytes& b, uint64_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4, 0);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(Bytes& b, uint64_t at, uint64_t v) {
  if (b.size() < at + 8) b.resize(at + 8, 0);
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Header fields at byte |at| (0 for the header, the footer's sector
// otherwise); the line-end characters and, for a stream, compressAlgorithm 1.
void putHeader(Bytes& file, uint64_t at, const ExtentFixture& fixture, uint32_t version,
               uint32_t flags, uint64_t descSectors, uint64_t rgd, uint64_t gd, uint64_t overhead) {
  put32(file, at + 0, 0x564D444B);
  put32(file, at + 4, version);
  put32(file, at + 8, flags);
  put64(file, at + 12, fixture.capacity);
  put64(file, at + 20, fixture.grainSize);
  put64(file, at + 28, descSectors ? 1 : 0);
  put64(file, at + 36, descSectors);
  put32(file, at + 44, fixture.tableEntries);
  put64(file, at + 48, rgd);
  put64(file, at + 56, gd);
  put64(file, at + 64, overhead);
  file[at + 73] = '\n';
  file[at + 74] = ' ';
  file[at + 75] = '\r';
  file[at + 76] = '\n';
  file[at + 77] = fixture.streamOptimized ? 1 : 0;
}

void putDescriptor(Bytes& file, const std::string& text) {
  for (size_t i = 0; i < text.size() && i < 20 * 512; ++i) {
    file[512 + i] = static_cast<uint8_t>(text[i]);
  }
}

std::vector<uint64_t> grainOrder(const ExtentFixture& fixture) {
  std::vector<uint64_t> order;
  for (const auto& [index, data] : fixture.grains) order.push_back(index);
  if (fixture.reverseGrainOrder) std::reverse(order.begin(), order.end());
  return order;
}

// Appends a metadata marker sector: numSectors, a zero size, the type.
uint64_t appendMarker(Bytes& file, uint64_t numSectors, uint32_t type) {
  uint64_t sector = file.size() / 512;
  file.resize(file.size() + 512, 0);
  put64(file, sector * 512, numSectors);
  put32(file, sector * 512 + 12, type);
  return sector;
}

void padToSector(Bytes& file) { file.resize((file.size() + 511) / 512 * 512, 0); }

// The stream-optimized layout: header and descriptor in the first 128
// sectors, then marker after marker.
BuiltExtent writeStreamFile(const std::string& path, const ExtentFixture& fixture) {
  const uint64_t grains = (fixture.capacity + 127) / 128;
  const uint64_t tables = (grains + 511) / 512;
  const uint64_t dirSectors = (tables * 4 + 511) / 512;
  const uint64_t descSectors = fixture.descriptor.empty() ? 0 : 20;
  const uint32_t flags = 0x30001;  // valid line ends, compressed grains, markers

  BuiltExtent built;
  built.overhead = 128;
  Bytes file(built.overhead * 512, 0);
  putDescriptor(file, fixture.descriptor);
  std::vector<uint32_t> entries(tables * 512, 0);
  for (uint64_t index : grainOrder(fixture)) {
    const Bytes& data = fixture.grains.at(index);
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes stream(size);
    compress2(stream.data(), &size, data.data(), static_cast<uLong>(data.size()), 6);
    uint64_t sector = file.size() / 512;
    built.grainSector[index] = sector;
    entries[index] = static_cast<uint32_t>(sector);
    put64(file, sector * 512, index * 128);
    put32(file, sector * 512 + 8, static_cast<uint32_t>(size));
    file.insert(file.end(), stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(size));
    padToSector(file);
  }
  std::vector<uint64_t> tableSectors;
  for (uint64_t t = 0; t < tables; ++t) {
    tableSectors.push_back(appendMarker(file, 4, 1) + 1);
    for (uint64_t e = 0; e < 512; ++e) put32(file, file.size(), entries[t * 512 + e]);
  }
  built.gdOffset = appendMarker(file, dirSectors, 2) + 1;
  for (uint64_t t = 0; t < tables; ++t) {
    put32(file, built.gdOffset * 512 + 4 * t, static_cast<uint32_t>(tableSectors[t]));
  }
  padToSector(file);
  uint64_t footer = appendMarker(file, 1, 3) + 1;
  file.resize(file.size() + 512, 0);
  putHeader(file, footer * 512, fixture, 3, flags, descSectors, 0, built.gdOffset, built.overhead);
  file.resize(file.size() + 512, 0);  // end of stream
  putHeader(file, 0, fixture, 3, flags, descSectors, 0,
            fixture.directoryInFooter ? ~uint64_t{0} : built.gdOffset, built.overhead);
  writeBytes(path, file);
  return built;
}

}  // namespace

BuiltExtent writeSparseExtentFile(const std::string& path, const ExtentFixture& fixture) {
  if (fixture.streamOptimized) return writeStreamFile(path, fixture);
  const uint64_t grains = (fixture.capacity + 127) / 128;
  const uint64_t tables = (grains + 511) / 512;
  const uint64_t dirSectors = (tables * 4 + 511) / 512;
  const uint64_t descSectors = fixture.descriptor.empty() ? 0 : 20;

  BuiltExtent built;
  built.rgdOffset = 1 + descSectors;
  built.gdOffset = built.rgdOffset + dirSectors + 4 * tables;
  uint64_t metadataEnd = built.gdOffset + dirSectors + 4 * tables;
  built.overhead = (metadataEnd + 127) / 128 * 128;

  Bytes file(built.overhead * 512, 0);
  putHeader(file, 0, fixture, fixture.version, fixture.flags, descSectors, built.rgdOffset,
            built.gdOffset, built.overhead);
  putDescriptor(file, fixture.descriptor);
  for (uint64_t t = 0; t < tables; ++t) {
    put32(file, built.rgdOffset * 512 + 4 * t,
          static_cast<uint32_t>(built.rgdOffset + dirSectors + 4 * t));
    put32(file, built.gdOffset * 512 + 4 * t,
          static_cast<uint32_t>(built.gdOffset + dirSectors + 4 * t));
  }

  for (uint64_t index : fixture.zeroedGrains) {
    for (uint64_t directory : {built.rgdOffset, built.gdOffset}) {
      put32(file, (directory + dirSectors + 4 * (index / 512)) * 512 + 4 * (index % 512), 1);
    }
  }
  std::vector<uint64_t> order = grainOrder(fixture);
  uint64_t next = built.overhead;
  for (size_t k = 0; k < order.size(); ++k) {
    uint64_t index = order[k];
    const Bytes& data = fixture.grains.at(index);
    built.grainSector[index] = next;
    uint64_t table = index / 512, entry = index % 512;
    put32(file, (built.rgdOffset + dirSectors + 4 * table) * 512 + 4 * entry,
          static_cast<uint32_t>(next));
    put32(file, (built.gdOffset + dirSectors + 4 * table) * 512 + 4 * entry,
          static_cast<uint32_t>(next));
    bool last = k + 1 == order.size();
    file.resize(next * 512 + (last ? data.size() : 65536), 0);
    std::copy(data.begin(), data.end(), file.begin() + static_cast<std::ptrdiff_t>(next * 512));
    next += 128;
  }
  if (fixture.truncateTo != 0) file.resize(fixture.truncateTo);
  writeBytes(path, file);
  return built;
}

void writeFlatFile(const std::string& path, uint64_t sectors,
                   const std::map<uint64_t, Bytes>& grains) {
  Bytes file(sectors * 512, 0);
  for (const auto& [index, data] : grains) {
    size_t length =
        static_cast<size_t>(std::min<uint64_t>(data.size(), file.size() - index * 65536));
    std::copy_n(data.begin(), length, file.begin() + static_cast<std::ptrdiff_t>(index * 65536));
  }
  writeBytes(path, file);
}

std::string descriptorText(uint32_t cid, uint32_t parentCid, const std::string& parentHint,
                           const std::string& createType, const std::string& extentLines) {
  char ids[64];
  std::snprintf(ids, sizeof ids, "CID=%08x\nparentCID=%08x\n", cid, parentCid);
  std::string text = "# Disk DescriptorFile\nversion=1\n";
  text += ids;
  text += "createType=\"" + createType + "\"\n";
  if (!parentHint.empty()) text += "parentFileNameHint=\"" + parentHint + "\"\n";
  text += "\n# Extent description\n" + extentLines + "\n# The Disk Data Base\n#DDB\n\n";
  text += "ddb.virtualHWVersion = \"4\"\nddb.adapterType = \"ide\"\n";
  return text;
}

}  // namespace skarvel::test
