#include "commands/command_info.h"

#include <cstdio>
#include <iostream>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "commands/json_report.h"
#include "format/units.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/multi_file_reader.h"
#include "reader/open_image.h"
#include "reader/ova/ova_package.h"
#include "reader/single_file_reader.h"

namespace skarvel {

namespace {

void printLine(const std::string& line) { std::cout << line << '\n' << std::flush; }

void printReport(const VMDKReader& input, const DiskDescriptor& descriptor,
                 const SparseLayout& layout) {
  printLine("Version        : " + std::to_string(static_cast<uint32_t>(descriptor.version)));
  printLine("CreateType     : " + descriptor.createType);
  printLine("HardwareVersion: " +
            std::to_string(static_cast<uint32_t>(descriptor.virtualHWVersion)));
  printLine("AdapterType    : " + descriptor.adapterType);
  printLine("Capacity       : " + std::to_string(input.capacity()) + " Sectors, " +
            std::to_string(input.capacityIn('G')) + " GBytes");
  printLine("Grains         : " + std::to_string(input.grainCount()) + " (" +
            std::to_string(input.grainBytes()) + " bytes each)");
  printLine("GrainTables    : " + std::to_string(layout.grainTableCount));
  printLine("GrainDirSize   : " + std::to_string(layout.directorySectors));
  printLine("Overhead       : " + std::to_string(layout.overhead));
  printLine("");
}

// Line k names the parent of member k - 1 as that member records it.
void printChain(const std::string& inputPath, const VMDKChainReader& chain) {
  printLine("Chained VMDKs:");
  printLine("000 " + inputPath);
  const auto& members = chain.readers();
  for (size_t i = 0; i + 1 < members.size(); ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%03u ", static_cast<unsigned>(i + 1));
    printLine(number + members[i]->descriptor().parentFileNameHint);
  }
  printLine("");
}

Json jsonExtent(const ExtentDescriptor& extent) {
  Json entry = {{"access", extent.access}, {"type", extent.type}, {"sectors", extent.size}};
  entry["file"] = extent.type == kZeroExtentType ? Json() : jsonName(extent.fileName);
  entry["offset"] = extent.offset;
  return entry;
}

// The header of |reader| when it is one sparse extent file, or of the first
// sparse extent a descriptor file lists; null when there is none.
const SparseExtentHeader* firstHeader(const VMDKReader& reader) {
  if (auto single = dynamic_cast<const VMDKSingleFileReader*>(&reader)) return &single->header();
  if (auto multi = dynamic_cast<const VMDKMultiFileReader*>(&reader)) {
    for (const auto& extent : multi->extentReaders()) {
      if (const SparseExtentHeader* header = firstHeader(*extent)) return header;
    }
  }
  return nullptr;
}

Json jsonHeader(const SparseExtentHeader* header) {
  if (header == nullptr) return Json();
  return {{"version", header->version},
          {"flags", header->flags},
          {"redundant_directory", (header->flags & kHeaderFlagRedundantDirectory) != 0},
          {"zeroed_grains", (header->flags & kHeaderFlagZeroedGrains) != 0},
          {"compressed", (header->flags & kHeaderFlagCompressedGrains) != 0},
          {"markers", (header->flags & kHeaderFlagMarkers) != 0},
          {"unclean_shutdown", header->uncleanShutdown}};
}

Json jsonExtents(const VMDKReader& reader, const std::string& path) {
  Json extents = Json::array();
  if (auto multi = dynamic_cast<const VMDKMultiFileReader*>(&reader)) {
    for (const ExtentDescriptor& extent : multi->extents()) extents.push_back(jsonExtent(extent));
    return extents;
  }
  // One file holds the whole disk: a sparse extent, or the raw disk itself.
  ExtentDescriptor whole;
  whole.size = reader.capacity();
  whole.type = firstHeader(reader) ? "SPARSE" : kFlatExtentType;
  std::string directory;
  splitPath(path, directory, whole.fileName);
  extents.push_back(jsonExtent(whole));
  return extents;
}

// The length of every file the image itself holds open.
uint64_t filesBytes(const VMDKReader& reader) {
  std::vector<int> fds;
  reader.appendOpenFiles(fds);
  uint64_t total = 0;
  for (int fd : fds) {
    uint64_t length = 0;
    if (platform::readableLength(fd, &length)) total += length;
  }
  return total;
}

Json jsonChain(const std::string& inputPath, const VMDKChainReader* chain,
               const VMDKReader& input) {
  Json members = Json::array();
  auto member = [](const std::string& file, const VMDKReader& reader) {
    const DiskDescriptor& d = reader.descriptor();
    return Json{{"file", jsonName(file)},
                {"cid", jsonCid(d.CID)},
                {"parent_cid", jsonCid(d.parentCID)},
                {"capacity_sectors", reader.capacity()},
                {"capacity_bytes", reader.capacity() * kSectorBytes}};
  };
  if (!chain) {
    members.push_back(member(inputPath, input));
    return members;
  }
  const auto& readers = chain->readers();
  for (size_t i = 0; i < readers.size(); ++i) {
    members.push_back(
        member(i == 0 ? inputPath : readers[i - 1]->descriptor().parentFileNameHint, *readers[i]));
  }
  return members;
}

// Unlike the text, which gives the root's descriptor fields, the report
// gives the image's own; the chain lists every member.
Json jsonReport(const std::string& path, bool raw, VMDKReader& input,
                const VMDKChainReader* chain) {
  const DiskDescriptor& own = input.descriptor();
  const DiskDescriptor& d = own;
  uint64_t allocated = input.allocatedGrains();
  Json ddb = Json::object();
  for (const auto& [name, value] : d.ddb) ddb[jsonName(name).get<std::string>()] = jsonName(value);
  Json report = {{"file", jsonName(path)},
                 {"format", raw ? input.descriptor().createType : "vmdk"},
                 {"descriptor_version", d.version},
                 {"create_type", d.createType},
                 {"capacity_sectors", input.capacity()},
                 {"capacity_bytes", input.capacity() * kSectorBytes},
                 {"grain_sectors", kGrainSectors},
                 {"grain_bytes", kGrainBytes},
                 {"grains", input.grainCount()},
                 {"allocated_grains", allocated},
                 {"allocated_bytes", allocated * kGrainBytes},
                 {"files_bytes", filesBytes(input)},
                 {"hardware_version", d.virtualHWVersion},
                 {"adapter_type", d.adapterType},
                 {"ddb", ddb},
                 {"cid", jsonCid(own.CID)},
                 {"parent_cid", jsonCid(own.parentCID)}};
  report["parent_file_name_hint"] = own.hasParent() ? jsonName(own.parentFileNameHint) : Json();
  report["header"] = jsonHeader(firstHeader(input));
  report["extents"] = jsonExtents(input, path);
  report["chain"] = jsonChain(path, chain, input);
  // A raw disk has no descriptor and no tables: what they would tell is null.
  if (raw) {
    for (const char* key : {"descriptor_version", "allocated_grains", "allocated_bytes",
                            "hardware_version", "adapter_type", "ddb", "cid", "parent_cid"}) {
      report[key] = nullptr;
    }
    report["chain"] = Json::array();
  }
  return report;
}

// info changes nothing and takes no locks: a report on a disk that a
// running machine uses is useful.
constexpr int kUnlocked = platform::kOpenBinary | platform::kOpenReadOnly;

// The members of a package, then each disk as the report of an image gives
// it (a disk of a package has no parent). The digests are not compared:
// that reads every member whole, which is check's to do.
int32_t reportPackage(const std::string& path, bool json) {
  OvaPackage package(path, kUnlocked);
  package.refuseDamage();
  std::vector<std::unique_ptr<VMDKReader>> disks;
  for (size_t n = 1; n <= package.diskCount(); ++n) disks.push_back(package.openDisk(n, kUnlocked));
  if (json) {
    Json members = Json::array(), reports = Json::array();
    for (const ArchiveMember& member : package.members()) {
      members.push_back({{"name", jsonName(member.name)}, {"size", member.size}});
    }
    for (auto& disk : disks) reports.push_back(jsonReport(disk->path(), false, *disk, nullptr));
    printJson(
        {{"file", jsonName(path)}, {"format", "ova"}, {"members", members}, {"disks", reports}});
    return 0;
  }
  for (const ArchiveMember& member : package.members()) {
    printLine("Member         : " + member.name + " (" + std::to_string(member.size) + " bytes)");
  }
  printLine("");
  for (size_t n = 1; n <= disks.size(); ++n) {
    printLine("Disk " + std::to_string(n) + std::string(10 - std::to_string(n).size(), ' ') + ": " +
              package.diskMember(n)->name);
    printReport(*disks[n - 1], disks[n - 1]->descriptor(), disks[n - 1]->layout());
  }
  return 0;
}

}  // namespace

int32_t CommandInfo::execute(int32_t argc, char** argv) {
  if (argc < 2) printUsage();
  if (!options->rawInput && isOvaPackage(argv[1])) return reportPackage(argv[1], options->json);
  std::unique_ptr<VMDKReader> reader = options->rawInput
                                           ? openRawImage(argv[1], kUnlocked, options->vhdInput)
                                           : openImage(argv[1], kUnlocked);
  VMDKReader* input = reader.get();
  std::unique_ptr<VMDKChainReader> chain;
  if (reader->descriptor().hasParent()) chain = openChain(reader, argv[1]);
  // A child's report gives its own capacity and grains but the root's
  // descriptor fields and table geometry.
  const VMDKReader& root = chain ? *chain->readers().back() : *input;
  if (options->json) {
    printJson(jsonReport(argv[1], options->rawInput, *input, chain.get()));
    return 0;
  }
  printReport(*input, root.descriptor(), root.layout());
  if (chain) printChain(argv[1], *chain);
  return 0;
}

}  // namespace skarvel
