#include "image_builder.h"

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

}  // namespace

BuiltExtent writeSparseExtentFile(const std::string& path, const ExtentFixture& fixture) {
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
  put32(file, 0, 0x564D444B);
  put32(file, 4, fixture.version);
  put32(file, 8, 3);
  put64(file, 12, fixture.capacity);
  put64(file, 20, fixture.grainSize);
  put64(file, 28, descSectors ? 1 : 0);
  put64(file, 36, descSectors);
  put32(file, 44, fixture.tableEntries);
  put64(file, 48, built.rgdOffset);
  put64(file, 56, built.gdOffset);
  put64(file, 64, built.overhead);
  file[73] = '\n';
  file[74] = ' ';
  file[75] = '\r';
  file[76] = '\n';
  for (size_t i = 0; i < fixture.descriptor.size() && i < 20 * 512; ++i) {
    file[512 + i] = static_cast<uint8_t>(fixture.descriptor[i]);
  }
  for (uint64_t t = 0; t < tables; ++t) {
    put32(file, built.rgdOffset * 512 + 4 * t,
          static_cast<uint32_t>(built.rgdOffset + dirSectors + 4 * t));
    put32(file, built.gdOffset * 512 + 4 * t,
          static_cast<uint32_t>(built.gdOffset + dirSectors + 4 * t));
  }

  std::vector<uint64_t> order;
  for (const auto& [index, data] : fixture.grains) order.push_back(index);
  if (fixture.reverseGrainOrder) std::reverse(order.begin(), order.end());
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
