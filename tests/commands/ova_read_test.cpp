// Reading OVA packages as a user meets them: info, copy and check of a
// package made here around a stream disk that skarvel exported, and one row
// per kind of damage with the exact line and exit status of check and copy.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "format/ova/tar_header.h"
#include "platform/digest.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

struct Member {
  std::string name;
  std::string data;
};

std::string sha256(const std::string& data) {
  platform::Digest digest(platform::DigestAlgorithm::kSha256);
  digest.update(data.data(), data.size());
  return digest.finishHex();
}

// The archive of |members| in order, cut to |cut| bytes when given.
void writeOva(const std::string& path, const std::vector<Member>& members, size_t cut = 0) {
  std::string archive;
  for (const Member& m : members) {
    TarBlock header = encodeTarHeader(m.name, m.data.size(), 0);
    archive.append(header.begin(), header.end());
    archive += m.data + std::string(tarPaddingBytes(m.data.size()), '\0');
  }
  archive += std::string(kTarEndBytes, '\0');
  if (cut != 0) archive.resize(cut);
  writeText(path, archive);
}

class OvaReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // 1 MiB: a run of 0x5a at 64 KiB and a sector of 0x33 at 700 KiB.
    Bytes raw(1 << 20, 0);
    std::fill(raw.begin() + 65536, raw.begin() + 65536 + 3000, 0x5a);
    std::fill(raw.begin() + 700 * 1024, raw.begin() + 700 * 1024 + 512, 0x33);
    writeBytes(dir_.file("d.raw"), raw);
    ASSERT_EQ(run({"copy", "-f", "raw", "-t", "streamOptimized", "d.raw", "d.vmdk"}).status, 0);
    Bytes disk = readBytes(dir_.file("d.vmdk"));
    disk_ = std::string(disk.begin(), disk.end());
  }

  RunResult run(const std::vector<std::string>& args) { return runSkarvel(args, dir_.path()); }

  std::string ovf(uint64_t size) const {
    return "<?xml version=\"1.0\"?>\n<Envelope xmlns=\"http://schemas.dmtf.org/ovf/envelope/1\" "
           "xmlns:ovf=\"http://schemas.dmtf.org/ovf/envelope/1\">\n<References><File "
           "ovf:href=\"d.vmdk\" ovf:id=\"file1\" ovf:size=\"" +
           std::to_string(size) +
           "\"/></References>\n<DiskSection><Info>Disks</Info><Disk ovf:diskId=\"vmdisk1\" "
           "ovf:fileRef=\"file1\" ovf:capacity=\"1\" ovf:capacityAllocationUnits=\"byte * "
           "2^20\"/></DiskSection>\n</Envelope>\n";
  }

  // The envelope (one of the disk's size when empty), a manifest of
  // |manifest| (the right one when empty) and the disk.
  std::vector<Member> members(std::string manifest = "", std::string envelope = "") const {
    if (envelope.empty()) envelope = ovf(disk_.size());
    if (manifest.empty()) {
      manifest = "SHA256(x.ovf)= " + sha256(envelope) + "\nSHA256(d.vmdk)= " + sha256(disk_) + "\n";
    }
    return {{"x.ovf", envelope}, {"x.mf", manifest}, {"d.vmdk", disk_}};
  }

  std::string disk_;
  ScopedTempDir dir_;
};

TEST_F(OvaReadTest, SoundPackageReadsAsItsDisk) {
  // The manifest: "SHA256(x.ovf)= ", 64 digits, '\n'; "SHA256(d.vmdk)= ", 64, '\n'.
  writeOva(dir_.file("x.ova"), members());
  RunResult info = run({"info", "x.ova"}), disk = run({"info", "d.vmdk"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.out, "Member         : x.ovf (" + std::to_string(members()[0].data.size()) +
                          " bytes)\nMember         : x.mf (161 bytes)\nMember         : d.vmdk (" +
                          std::to_string(disk_.size()) + " bytes)\n\nDisk 1         : d.vmdk\n" +
                          disk.out);
  // The report of the disk is that of the disk extracted, but for its name.
  auto json = nlohmann::json::parse(run({"info", "-j", "x.ova"}).out);
  auto alone = nlohmann::json::parse(run({"info", "-j", "d.vmdk"}).out);
  alone["file"] = alone["chain"][0]["file"] = "x.ova/d.vmdk";
  EXPECT_EQ(json["members"][2], (nlohmann::json{{"name", "d.vmdk"}, {"size", disk_.size()}}));
  EXPECT_EQ(json["disks"], nlohmann::json::array({alone}));
  EXPECT_EQ(run({"check", "x.ova"}).out, "0 problems found\n");
  // A SHA-512 digest is not computed: said, not counted.
  writeOva(dir_.file("x512.ova"), members("SHA512(d.vmdk)= " + std::string(128, 'a') + "\n"));
  RunResult sha512 = run({"check", "x512.ova"});
  EXPECT_EQ(sha512.out, "x512.ova/d.vmdk: digest not checked (SHA512)\n0 problems found\n");
  EXPECT_EQ(sha512.status, 0);
  EXPECT_EQ(nlohmann::json::parse(run({"check", "-j", "x512.ova"}).out)["unchecked_digests"],
            nlohmann::json::array({"x512.ova/d.vmdk"}));
  EXPECT_EQ(run({"copy", "--disk", "1", "x.ova", "out.vmdk"}).status, 0);
  EXPECT_EQ(run({"compare", "-F", "raw", "out.vmdk", "d.raw"}).out, "Identical\n");
  struct Refusal {
    std::vector<std::string> args;
    std::string line;
  };
  const Refusal refusals[] = {
      {{"copy", "--disk", "2", "x.ova", "two.vmdk"}, "No disk 2 in x.ova\n"},
      {{"copy", "--disk", "1", "d.vmdk", "two.vmdk"}, "Not an OVA package d.vmdk\n"},
      {{"check", "-R", "x.ova"}, "Cannot repair OVA package x.ova\n"},
  };
  for (const Refusal& r : refusals) {
    RunResult refused = run(r.args);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, r.line);
    EXPECT_FALSE(fileExists(dir_.file("two.vmdk")));
  }
}

// Each damage: what check says (then "1 problem found" or more, exit 2) and
// the one line copy refuses with (exit 1, no output made).
TEST_F(OvaReadTest, DamagedPackagesAreRefused) {
  std::vector<Member> ordered = members(), missing = members(), twice = members();
  std::vector<Member> spelled = members(), climbing = members(), twoManifests = members();
  twice.push_back({"d.vmdk", "other bytes"});
  spelled.push_back({"./d.vmdk", "other bytes"});  // tar extracts this one over the first
  climbing.push_back({"../d.vmdk", "other bytes"});
  std::swap(ordered[0], ordered[1]);
  missing.pop_back();
  std::string ovfLine = "SHA256(x.ovf)= " + sha256(members()[0].data) + "\n";
  std::string wrongDigest = ovfLine + "SHA256(d.vmdk)= " + sha256(disk_ + "x") + "\n";
  std::string bsdLine = "SHA256 (d.vmdk) = " + sha256(disk_) + "\n";
  // A right manifest of another name before the one importers read.
  twoManifests.insert(twoManifests.begin() + 1, twoManifests[1]);
  twoManifests[1].name = "a.mf";
  twoManifests[2].data = wrongDigest;
  std::string unclosed = ovf(disk_.size()), otherId = unclosed;
  unclosed.resize(unclosed.size() - 2);  // "</Envelope" without its '>'
  otherId.replace(otherId.find("fileRef=\"file1"), 14, "fileRef=\"file2");
  // Into the disk's data: header, envelope, header, manifest, header.
  size_t cut = 5 * kTarBlockBytes + 1000;
  struct Row {
    const char* what;
    std::vector<Member> members;
    size_t cut;
    std::string check;
    std::string copy;
  };
  const Row rows[] = {
      {"manifest first", ordered, 0, "OVF is not the first member of bad.ova\n",
       "OVF is not the first member of bad.ova\n"},
      {"ovf:size one more", members("", ovf(disk_.size() + 1)), 0,
       "OVF size does not match bad.ova/d.vmdk\n", "OVF size does not match bad.ova/d.vmdk\n"},
      {"digest of other bytes", members(wrongDigest), 0, "Manifest does not match bad.ova/d.vmdk\n",
       "Manifest does not match bad.ova/d.vmdk\n"},
      {"BSD manifest line", members(ovfLine + bsdLine), 0,
       "Invalid manifest line in bad.ova/x.mf\nManifest does not match bad.ova/d.vmdk\n",
       "Invalid manifest line in bad.ova/x.mf\n"},
      {"manifest without the disk", members(ovfLine), 0, "Manifest does not match bad.ova/d.vmdk\n",
       "Manifest does not match bad.ova/d.vmdk\n"},
      {"wrong manifest named as the envelope", twoManifests, 0,
       "Manifest does not match bad.ova/d.vmdk\n", "Manifest does not match bad.ova/d.vmdk\n"},
      {"disk member again as ./d.vmdk", spelled, 0, "Duplicate member ./d.vmdk of bad.ova\n",
       "Duplicate member ./d.vmdk of bad.ova\n"},
      {"member out of the folder", climbing, 0, "Unsupported member ../d.vmdk of bad.ova\n",
       "Unsupported member ../d.vmdk of bad.ova\n"},
      {"envelope not well-formed", members("", unclosed), 0, "Invalid OVF bad.ova/x.ovf\n",
       "Invalid OVF bad.ova/x.ovf\n"},
      {"disk of no file", members("", otherId), 0, "Missing reference file2 in bad.ova/x.ovf\n",
       "Missing reference file2 in bad.ova/x.ovf\n"},
      {"disk member twice", twice, 0, "Duplicate member d.vmdk of bad.ova\n",
       "Duplicate member d.vmdk of bad.ova\n"},
      {"no disk member", missing, 0, "Missing member d.vmdk of bad.ova\n",
       "Missing member d.vmdk of bad.ova\n"},
      {"cut in the disk", members(), cut,
       "Truncated archive file bad.ova\nMissing member d.vmdk of bad.ova\n",
       "Truncated archive file bad.ova\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    writeOva(dir_.file("bad.ova"), row.members, row.cut);
    RunResult check = run({"check", "bad.ova"});
    size_t lines = std::count(row.check.begin(), row.check.end(), '\n');
    EXPECT_EQ(check.out, row.check + std::to_string(lines) +
                             (lines == 1 ? " problem found\n" : " problems found\n"));
    EXPECT_EQ(check.status, 2);
    auto json = nlohmann::json::parse(run({"check", "-j", "bad.ova"}).out);
    EXPECT_EQ(json["problems"][0],
              (nlohmann::json{{"file", "bad.ova"},
                              {"kind", "package"},
                              {"place", "package"},
                              {"text", row.copy.substr(0, row.copy.size() - 1)}}));
    RunResult copy = run({"copy", "bad.ova", "out.vmdk"});
    EXPECT_EQ(copy.err, row.copy);
    EXPECT_EQ(copy.status, 1);
    EXPECT_FALSE(fileExists(dir_.file("out.vmdk")));
  }
}

}  // namespace
}  // namespace skarvel::test
