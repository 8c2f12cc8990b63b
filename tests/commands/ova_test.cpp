// The ova command as a user meets it: the archive's members in order, what
// the envelope and the manifest say of the disk for each option, the JSON
// result, refusals, and what a failed write at any step leaves behind.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "format/ova/tar_header.h"
#include "platform/digest.h"
#include "platform/xml.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

struct Member {
  std::string name;
  std::string data;
};

// The members of the archive at |path|, up to its end blocks.
std::vector<Member> membersOf(const std::string& path) {
  Bytes file = readBytes(path);
  std::vector<Member> members;
  for (uint64_t at = 0; at + 512 <= file.size();) {
    TarBlock block;
    std::copy(file.begin() + at, file.begin() + at + 512, block.begin());
    std::optional<TarMember> member = decodeTarHeader(block);
    if (!member || member->size > file.size() - at - 512) break;
    members.push_back({member->name, std::string(file.begin() + at + 512,
                                                 file.begin() + at + 512 + member->size)});
    at += tarMemberBytes(member->size);
  }
  return members;
}

std::string digestOf(platform::DigestAlgorithm algorithm, const std::string& data) {
  platform::Digest digest(algorithm);
  digest.update(data.data(), data.size());
  return digest.finishHex();
}

// The text of the first |path| of elements below |root|.
std::string textAt(const platform::XmlElement& root, std::vector<std::string> path) {
  const platform::XmlElement* element = &root;
  for (const std::string& name : path) {
    element = element ? element->child(name) : nullptr;
  }
  return element ? element->text : "(missing)";
}

// The rasd:VirtualQuantity or rasd:ResourceSubType of the Item of |type|.
std::string itemField(const platform::XmlElement& hardware, const std::string& type,
                      const std::string& field) {
  for (const platform::XmlElement& item : hardware.children) {
    if (item.name == "Item" && textAt(item, {"ResourceType"}) == type) return textAt(item, {field});
  }
  return "(no item)";
}

struct PackageCase {
  std::vector<std::string> create;  // makes in.vmdk; empty: in.raw, 3 grains of data
  std::vector<std::string> options;
  std::string output, name, hash, populated, system, cpus, memory, subtype;
};

const PackageCase kPackages[] = {
    {{}, {"-j"}, "vm.ova", "vm", "SHA256", "196608", "vmx-04", "1", "1024", "lsilogic"},
    {{"-a", "buslogic", "-r", "11"},
     {"--name", "web 1", "--cpus", "4", "--memory", "512M", "--manifest", "sha1"},
     "x.ova",
     "web 1",
     "SHA1",
     "0",
     "vmx-11",
     "4",
     "512",
     "buslogic"},
    {{"-a", "ide", "-r", "19"},
     {"--memory", "3G"},
     "disk.img",
     "disk.img",
     "SHA256",
     "0",
     "vmx-19",
     "1",
     "3072",
     "lsilogic"},
};

TEST(OvaTest, MembersEnvelopeAndManifestDescribeTheDisk) {
  for (const PackageCase& c : kPackages) {
    SCOPED_TRACE(c.output);
    ScopedTempDir dir;
    std::vector<std::string> args = {"ova"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    if (c.create.empty()) {
      Bytes raw(8 << 20, 0);
      for (uint64_t grain : {0, 7, 127}) std::fill_n(raw.begin() + grain * 65536, 65536, grain + 1);
      writeBytes(dir.file("in.raw"), raw);
      args.insert(args.end(), {"-f", "raw", "in.raw", c.output});
    } else {
      std::vector<std::string> create = {"create", "-s", "8M"};
      create.insert(create.end(), c.create.begin(), c.create.end());
      create.push_back("in.vmdk");
      ASSERT_EQ(runSkarvel(create, dir.path()).status, 0);
      args.insert(args.end(), {"in.vmdk", c.output});
    }
    RunResult run = runSkarvel(args, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<Member> members = membersOf(dir.file(c.output));
    ASSERT_EQ(members.size(), 3u);
    const Member &ovf = members[0], &mf = members[1], &disk = members[2];
    EXPECT_EQ(ovf.name, c.name + ".ovf");
    EXPECT_EQ(mf.name, c.name + ".mf");
    EXPECT_EQ(disk.name, c.name + "-disk1.vmdk");
    auto algorithm =
        c.hash == "SHA1" ? platform::DigestAlgorithm::kSha1 : platform::DigestAlgorithm::kSha256;
    EXPECT_EQ(mf.data, c.hash + "(" + ovf.name + ")= " + digestOf(algorithm, ovf.data) + "\n" +
                           c.hash + "(" + disk.name + ")= " + digestOf(algorithm, disk.data) +
                           "\n");
    platform::XmlElement envelope;
    ASSERT_TRUE(platform::parseXml(ovf.data, &envelope)) << ovf.data;
    const platform::XmlElement* file = envelope.child("References")->child("File");
    EXPECT_EQ(*file->attribute("href"), disk.name);
    EXPECT_EQ(*file->attribute("size"), std::to_string(disk.data.size()));
    const platform::XmlElement* entry = envelope.child("DiskSection")->child("Disk");
    EXPECT_EQ(*entry->attribute("capacity"), "8388608");
    EXPECT_EQ(*entry->attribute("populatedSize"), c.populated);
    const platform::XmlElement* system = envelope.child("VirtualSystem");
    EXPECT_EQ(textAt(*system, {"Name"}), c.name);
    const platform::XmlElement& hardware = *system->child("VirtualHardwareSection");
    EXPECT_EQ(textAt(hardware, {"System", "VirtualSystemType"}), c.system);
    EXPECT_EQ(itemField(hardware, "3", "VirtualQuantity"), c.cpus);
    EXPECT_EQ(itemField(hardware, "4", "VirtualQuantity"), c.memory);
    EXPECT_EQ(itemField(hardware, "6", "ResourceSubType"), c.subtype);
    EXPECT_EQ(itemField(hardware, "17", "HostResource"), "ovf:/disk/vmdisk1");
    // The disk member reads as the input.
    writeBytes(dir.file("disk.vmdk"), Bytes(disk.data.begin(), disk.data.end()));
    std::vector<std::string> compare = {"compare", "disk.vmdk", "in.vmdk"};
    if (c.create.empty()) compare = {"compare", "-F", "raw", "disk.vmdk", "in.raw"};
    EXPECT_EQ(runSkarvel(compare, dir.path()).out, "Identical\n");
    if (c.options[0] == "-j") {
      auto result = nlohmann::json::parse(run.out.substr(run.out.rfind('\n', run.out.size() - 2)));
      EXPECT_EQ(result["outputs"], nlohmann::json::array({c.output}));
      EXPECT_EQ(result["grains_stored"], 3);
      EXPECT_EQ(result["bytes_written"], fileSize(dir.file(c.output)));
    }
  }
}

TEST(OvaTest, RefusalsCreateNothing) {
  const struct {
    std::string output, err;
  } cases[] = {
      {"-", "Cannot write ova to standard output\n"},
      {"bad!name.ova", "Unsupported file name bad!name.ova\n"},
      {"in.raw", "Output would overwrite input file in.raw\n"},
  };
  for (const auto& c : cases) {
    ScopedTempDir dir;
    writeBytes(dir.file("in.raw"), grainOf(0x42));
    auto before = snapshot(dir.path());
    RunResult run = runSkarvel({"ova", "-f", "raw", "in.raw", c.output}, dir.path());
    EXPECT_EQ(run.status, 1) << c.output;
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(snapshot(dir.path()), before) << c.output;
  }
}

// The Nth write fails, for every N until the package is complete: the file
// already at the output's place stays as it was, nothing else is left, and
// a rerun makes the package.
TEST(OvaTest, AFailedWriteAtAnyStepLeavesTheOldFile) {
  ScopedTempDir dir;
  Bytes raw(3 << 20, 0x5A);
  writeBytes(dir.file("in.raw"), raw);
  const std::vector<std::string> args = {"ova", "-f", "raw", dir.file("in.raw"),
                                         dir.file("out.ova")};
  for (uint64_t writes = 0;; ++writes) {
    SCOPED_TRACE(writes);
    writeText(dir.file("out.ova"), "old");
    int status = runFailingWritesAfter(writes, args);
    if (status == 0) break;
    ASSERT_EQ(status, 1);
    ASSERT_LT(writes, 100u);
    EXPECT_EQ(readText(dir.file("out.ova")), "old");
    EXPECT_EQ(filesIn(dir.path()), 2u);
    ASSERT_EQ(runSkarvel(args, dir.path()).status, 0);
    EXPECT_EQ(membersOf(dir.file("out.ova")).size(), 3u);
  }
  EXPECT_EQ(membersOf(dir.file("out.ova")).size(), 3u);
  EXPECT_EQ(filesIn(dir.path()), 2u);
}

}  // namespace
}  // namespace skarvel::test
