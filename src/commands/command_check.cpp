#include "commands/command_check.h"

#include <algorithm>
#include <iostream>
#include <vector>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "commands/json_report.h"
#include "platform/file.h"
#include "reader/image_check.h"
#include "reader/open_image.h"
#include "reader/ova/ova_package.h"
#include "writer/sparse_extent_editor.h"

namespace skarvel {

namespace {

// Rounds of repairs one run makes at most.
constexpr int kRepairRounds = 3;

std::string counted(uint64_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// The descriptor |held| has open on the file at |path|: repairs write
// through the image's own locked descriptors, since a second opening for
// writing would meet those locks (on Windows even in this process).
// -1 when |path| is none of the image's own files (a parent's).
int findHeldDescriptor(const VMDKReader& held, const std::string& path) {
  platform::FileIdentity wanted, found;
  std::vector<int> fds;
  held.appendOpenFiles(fds);
  for (int fd : fds) {
    if (platform::identityOfPath(path, &wanted) && platform::identityOfDescriptor(fd, &found) &&
        wanted == found) {
      return fd;
    }
  }
  return -1;
}

int heldDescriptorOf(const VMDKReader& held, const std::string& path) {
  int fd = findHeldDescriptor(held, path);
  if (fd < 0) throw FatalError("Failed to open " + path);
  return fd;
}

bool contains(const std::vector<std::string>& paths, const std::string& path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

// The last step of a repair run: clears the unclean-shutdown mark of the
// image's own files when |report|, the walk after the repairs, finds nothing
// else wrong (parents' marks and all other problems count), and otherwise
// only the marks this run set itself (|markedHere|, not in |markedBefore|).
// Returns the marks that were there before and are now cleared, as repairs.
std::vector<TableRepair> clearMarks(const VMDKReader& held, const CheckReport& report,
                                    const std::vector<std::string>& markedBefore,
                                    const std::vector<std::string>& markedHere) {
  std::vector<std::string> own;
  for (const std::string& path : report.marked) {
    if (findHeldDescriptor(held, path) >= 0) own.push_back(path);
  }
  const bool clean = report.problemCount() == own.size();
  std::vector<TableRepair> cleared;
  for (const std::string& path : own) {
    bool before = contains(markedBefore, path);
    if (!clean && (before || !contains(markedHere, path))) continue;
    writeUncleanShutdown(heldDescriptorOf(held, path), path, false);
    if (!before) continue;
    TableRepair repair;
    repair.path = path;
    repair.text = "the header, marked as closed cleanly";
    cleared.push_back(repair);
  }
  return cleared;
}

// Writes each repair: the table first, then the directory entry that makes
// it the one read, so that a run cut short between the two leaves the
// directory as it was.
void applyRepair(const TableRepair& repair, int fd) {
  uint8_t entry[4];
  putLittleEndian32(entry, repair.entry);
  bool written =
      platform::writeFileAt(fd, repair.tableByte, repair.table.data(),
                            static_cast<uint32_t>(repair.table.size())) &&
      (repair.entryByte == 0 || platform::writeFileAt(fd, repair.entryByte, entry, sizeof entry)) &&
      platform::syncFile(fd);
  if (!written) throw FatalError("Failed to write file " + repair.path);
}

Json jsonFinding(const std::string& path, const std::string& text) {
  return {{"file", jsonName(path)}, {"text", jsonName(text)}};
}

// The report for programs: what the text says, as lists. A finding without
// a path is a line of its own (a package's), given the package's path.
void printJsonReport(const std::string& path, const CheckReport& report,
                     const std::vector<TableRepair>& repaired,
                     const std::vector<std::string>& unchecked = {}) {
  Json problems = Json::array(), leaks = Json::array(), repairs = Json::array();
  for (const CheckFinding& finding : report.findings) {
    Json entry = jsonFinding(finding.path.empty() ? path : finding.path, finding.text);
    entry["place"] = jsonName(finding.place);
    entry["kind"] = finding.kind;
    if (!finding.isLeak()) {
      problems.push_back(entry);
      continue;
    }
    entry["grains"] = finding.leakedGrains;
    leaks.push_back(entry);
  }
  for (const TableRepair& repair : repaired)
    repairs.push_back(jsonFinding(repair.path, repair.text));
  Json document = {{"file", jsonName(path)}, {"clean", report.problemCount() == 0},
                   {"problems", problems},   {"leaked_grains", report.leakedGrains()},
                   {"leaks", leaks},         {"repairs", repairs}};
  if (!unchecked.empty()) {
    Json names = Json::array();
    for (const std::string& name : unchecked) names.push_back(jsonName(name));
    document["unchecked_digests"] = names;
  }
  printJson(document);
}

// The text: a line per finding, notes, then the count.
int32_t printTextReport(const CheckReport& report, const std::vector<std::string>& unchecked = {}) {
  for (const CheckFinding& finding : report.findings) {
    if (!finding.path.empty()) std::cout << finding.path << ": ";
    std::cout << finding.text << '\n';
  }
  for (const std::string& name : unchecked) std::cout << name << ": digest not checked (SHA512)\n";
  const uint64_t problems = report.problemCount();
  std::string summary = counted(problems, "problem") + " found";
  if (report.leakedGrains() != 0) {
    summary += ", " + counted(report.leakedGrains(), "leaked grain") + " (harmless)";
  }
  std::cout << summary << '\n' << std::flush;
  return problems == 0 ? 0 : 2;
}

// A package: the problems of its structure, its digests, then each disk
// it holds as check reads an image. A disk that cannot be read at all is one
// problem of the package, whose other members were still checked.
int32_t checkPackage(const std::string& path, bool json) {
  constexpr int kRead = platform::kOpenBinary | platform::kOpenReadOnly | platform::kOpenLockRead;
  OvaPackage package(path, kRead);
  CheckReport report;
  std::vector<std::string> unchecked;
  std::vector<std::string> lines = package.problems();
  for (const std::string& line : package.digestProblems({}, &unchecked)) lines.push_back(line);
  for (const std::string& line : lines) {
    report.findings.push_back(
        {.path = std::string(), .text = line, .place = "package", .kind = "package"});
  }
  for (size_t n = 1; n <= package.diskCount(); ++n) {
    if (package.diskMember(n) == nullptr) continue;  // missing: said above
    try {
      CheckReport disk = checkOpenImage(*package.openDisk(n, kRead));
      report.findings.insert(report.findings.end(), disk.findings.begin(), disk.findings.end());
    } catch (const FatalError& unreadable) {
      report.findings.push_back({.path = std::string(),
                                 .text = unreadable.what(),
                                 .place = "package",
                                 .kind = "unreadable_disk"});
    }
  }
  if (json) {
    printJsonReport(path, report, {}, unchecked);
    return report.problemCount() == 0 ? 0 : 2;
  }
  return printTextReport(report, unchecked);
}

}  // namespace

int32_t CommandCheck::execute(int32_t argc, char** argv) {
  if (argc < 2) printUsage();
  const std::string path = argv[1];
  if (!options->rawInput && isOvaPackage(path)) {
    if (options->repair) throw FatalError("Cannot repair OVA package " + path);
    return checkPackage(path, options->json);
  }
  // No other program may write the image while it is checked, nor use it
  // at all while it is repaired.
  constexpr int kRead = platform::kOpenBinary | platform::kOpenReadOnly | platform::kOpenLockRead;
  constexpr int kWrite =
      platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite;
  // A plain disk has no structure but a VHD's footer, which its opening
  // checks: a damaged one makes the disk unreadable, as for any image.
  std::unique_ptr<VMDKReader> held = options->rawInput
                                         ? openRawImage(path, kRead, options->vhdInput)
                                     : options->repair ? openImage(path, kWrite, kWrite)
                                                       : openImage(path, kRead);
  CheckReport report = options->rawInput ? CheckReport() : checkImage(path, options->repair);
  if (options->repair && report.hasStream) {
    throw FatalError("Cannot repair stream-optimized image " + path);
  }
  // A repair can give the other copy of a table its sound source (a lost
  // table found for one copy only): the repairs run again while they find
  // work, a few rounds at most.
  // Each file a repair writes carries the unclean-shutdown mark from before
  // its first write until the last step.
  std::vector<TableRepair> repaired;
  const std::vector<std::string> markedBefore = report.marked;
  std::vector<std::string> markedHere;
  auto tell = [&](const TableRepair& repair) {
    if (!options->json) std::cout << repair.path << ": repaired " << repair.text << '\n';
    repaired.push_back(repair);
  };
  for (int round = 1; !report.repairs.empty(); ++round) {
    for (const TableRepair& repair : report.repairs) {
      int fd = heldDescriptorOf(*held, repair.path);
      if (!contains(markedHere, repair.path)) {
        writeUncleanShutdown(fd, repair.path, true);
        markedHere.push_back(repair.path);
      }
      applyRepair(repair, fd);
      tell(repair);
    }
    report = checkImage(path, round < kRepairRounds);
  }
  if (options->repair && !report.marked.empty()) {
    for (const TableRepair& repair : clearMarks(*held, report, markedBefore, markedHere)) {
      tell(repair);
    }
    report = checkImage(path, false);
  }
  if (options->json) {
    printJsonReport(path, report, repaired);
    return report.problemCount() == 0 ? 0 : 2;
  }
  return printTextReport(report);
}

}  // namespace skarvel
