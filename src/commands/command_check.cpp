#include "commands/command_check.h"

#include <iostream>
#include <vector>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "commands/json_report.h"
#include "platform/file.h"
#include "reader/image_check.h"
#include "reader/open_image.h"

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
int heldDescriptorOf(const VMDKReader& held, const std::string& path) {
  platform::FileIdentity wanted, found;
  std::vector<int> fds;
  held.appendOpenFiles(fds);
  for (int fd : fds) {
    if (platform::identityOfPath(path, &wanted) && platform::identityOfDescriptor(fd, &found) &&
        wanted == found) {
      return fd;
    }
  }
  throw FatalError("Failed to open " + path);
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

// The report for programs: what the text says, as lists.
void printJsonReport(const std::string& path, const CheckReport& report,
                     const std::vector<TableRepair>& repaired) {
  Json problems = Json::array(), leaks = Json::array(), repairs = Json::array();
  for (const CheckFinding& finding : report.findings) {
    Json entry = jsonFinding(finding.path, finding.text);
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
  printJson({{"file", jsonName(path)},
             {"clean", report.problemCount() == 0},
             {"problems", problems},
             {"leaked_grains", report.leakedGrains()},
             {"leaks", leaks},
             {"repairs", repairs}});
}

}  // namespace

int32_t CommandCheck::execute(int32_t argc, char** argv) {
  if (argc < 2) printUsage();
  const std::string path = argv[1];
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
  std::vector<TableRepair> repaired;
  for (int round = 1; !report.repairs.empty(); ++round) {
    for (const TableRepair& repair : report.repairs) {
      applyRepair(repair, heldDescriptorOf(*held, repair.path));
      if (!options->json) std::cout << repair.path << ": repaired " << repair.text << '\n';
      repaired.push_back(repair);
    }
    report = checkImage(path, round < kRepairRounds);
  }
  uint64_t problems = report.problemCount();
  if (options->json) {
    printJsonReport(path, report, repaired);
    return problems == 0 ? 0 : 2;
  }
  for (const CheckFinding& finding : report.findings) {
    std::cout << finding.path << ": " << finding.text << '\n';
  }
  std::string summary = counted(problems, "problem") + " found";
  if (report.leakedGrains() != 0) {
    summary += ", " + counted(report.leakedGrains(), "leaked grain") + " (harmless)";
  }
  std::cout << summary << '\n' << std::flush;
  return problems == 0 ? 0 : 2;
}

}  // namespace skarvel
