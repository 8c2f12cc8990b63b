#include "reader/image_check.h"

#include <algorithm>
#include <cstdio>

#include "base/fatal_error.h"
#include "format/descriptor_parser.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/multi_file_reader.h"
#include "reader/open_image.h"
#include "reader/single_file_reader.h"

namespace skarvel {

namespace {

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

// The embedded descriptor of a one-file image lists the file itself; its
// sizes must add up to the capacity the header gives, or another tool that
// reads the text sees another disk.
void checkEmbeddedLines(const VMDKSingleFileReader& image, CheckReport& report) {
  const SparseExtentHeader& header = image.header();
  if (!header.hasEmbeddedDescriptor()) return;
  // The descriptor area, as far as the file holds it: at most the 20
  // sectors that the format gives it, which any real text fits in.
  std::string text(std::min<uint64_t>(header.descriptorSize, kDescriptorSectors) * kSectorBytes,
                   '\0');
  text.resize(readAt(image.fileHandle(), image.path(), header.descriptorOffset * kSectorBytes,
                     text.data(), static_cast<uint32_t>(text.size())));
  StringByteSource source(text);
  ParsedDescriptor parsed = parseDescriptor(source);
  if (parsed.extents.empty()) return;
  uint64_t sectors = 0;
  for (const ExtentDescriptor& extent : parsed.extents) sectors += extent.size;
  if (sectors != header.capacity) {
    report.findings.push_back({.path = image.path(),
                               .text = "the descriptor's extent lines give " +
                                       std::to_string(sectors) + " sectors, the header " +
                                       std::to_string(header.capacity),
                               .place = "descriptor",
                               .kind = "size_mismatch"});
  }
}

void checkExtentLines(const VMDKMultiFileReader& image, bool planRepairs, CheckReport& report) {
  const ExtentList& lines = image.extents();
  for (size_t k = 0; k < lines.size(); ++k) {
    const VMDKReader& extent = *image.extentReaders()[k];
    std::string where = "extent line " + std::to_string(k + 1) + " (" + extent.path() + ")";
    auto add = [&](const std::string& kind, const std::string& text) {
      report.findings.push_back({.path = image.path(),
                                 .text = where + ": " + text,
                                 .place = "extent line " + std::to_string(k + 1),
                                 .kind = kind});
    };
    if (lines[k].type == kFlatExtentType) {
      // Read as flat, a sparse extent shows its header and tables as data.
      if (probeSparseExtent(extent.fileHandle(), extent.path()) != SparseProbe::kNotSparse) {
        add("flat_is_sparse", "the FLAT file is a sparse extent file");
      }
      uint64_t fileBytes = 0;
      platform::readableLength(extent.fileHandle(), &fileBytes);
      uint64_t held =
          fileBytes / kSectorBytes - std::min(fileBytes / kSectorBytes, lines[k].offset);
      if (held < lines[k].size) {
        add("truncated", "the file holds " + std::to_string(held) + " of its " +
                             std::to_string(lines[k].size) + " sectors");
      }
    }
    const auto* sparse = dynamic_cast<const VMDKSingleFileReader*>(&extent);
    if (sparse == nullptr) continue;
    if (lines[k].size != sparse->capacity()) {
      add("size_mismatch", "size " + std::to_string(lines[k].size) +
                               " sectors, the extent's header " +
                               std::to_string(sparse->capacity()));
    }
    checkSparseExtent(*sparse, planRepairs, report);
  }
}

void checkMember(const VMDKReader& member, bool planRepairs, CheckReport& report) {
  if (const auto* sparse = dynamic_cast<const VMDKSingleFileReader*>(&member)) {
    checkEmbeddedLines(*sparse, report);
    checkSparseExtent(*sparse, planRepairs, report);
  } else if (const auto* split = dynamic_cast<const VMDKMultiFileReader*>(&member)) {
    checkExtentLines(*split, planRepairs, report);
  }
}

}  // namespace

CheckReport checkImage(const std::string& path, bool planRepairs) {
  std::unique_ptr<VMDKReader> image =
      openImage(path, platform::kOpenBinary | platform::kOpenReadOnly);
  std::unique_ptr<VMDKChainReader> chain;
  if (image->descriptor().hasParent()) chain = openChain(image, path);
  std::vector<const VMDKReader*> members;
  if (chain) {
    for (const auto& member : chain->readers()) members.push_back(member.get());
  } else {
    members.push_back(image.get());
  }
  CheckReport report;
  for (size_t i = 0; i < members.size(); ++i) {
    checkMember(*members[i], planRepairs && i == 0, report);
    if (i + 1 == members.size()) break;
    // A parent changed after the child was made reads wrong data through it.
    uint32_t recorded = members[i]->descriptor().parentCID;
    uint32_t actual = members[i + 1]->descriptor().CID;
    if (recorded != actual) {
      report.findings.push_back({.path = members[i]->path(),
                                 .text = "parentCID " + hex(recorded) + " is not the CID " +
                                         hex(actual) + " of its parent " + members[i + 1]->path(),
                                 .place = "parent link",
                                 .kind = "cid_mismatch"});
    }
  }
  return report;
}

CheckReport checkOpenImage(const VMDKReader& image) {
  CheckReport report;
  checkMember(image, false, report);
  return report;
}

void refuseDamagedImage(const VMDKReader& image, const std::string& path) {
  CheckReport report;
  checkMember(image, false, report);
  for (const CheckFinding& finding : report.findings) {
    if (!finding.isLeak() && !finding.harmlessToWriters) {
      throw FatalError("Damaged image file " + path);
    }
  }
}

}  // namespace skarvel
