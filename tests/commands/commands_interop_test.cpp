// copy, clone and convert against the general disk tools: copies must read
// identical to their inputs (single-file, split, and chains the other tool
// made, also of members that differ in size), a cloned child written by the other tool must read as
// its grains over its parent's, and every image skarvel writes or rewrites must check clean.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

class CommandsInteropTest : public ::testing::Test {
 protected:
  void skarvel(const std::vector<std::string>& args) {
    RunResult run = runSkarvel(args, dir_.path());
    ASSERT_EQ(run.status, 0) << args[0] << ": " << run.err;
  }

  void qemuIo(const std::string& image, const std::vector<std::string>& commands) {
    std::vector<std::string> args;
    for (const std::string& command : commands) args.insert(args.end(), {"-c", command});
    args.push_back(image);
    RunResult run = runProgram("qemu-io", args, dir_.path());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_EQ(run.out.find("failed"), std::string::npos) << run.out;
  }

  // The general tool and skarvel's compare both find the pair identical.
  void expectIdentical(const std::string& a, const std::string& b) {
    // A name that starts with vhd- (the VHD outputs of copy) is a fixed VHD.
    std::vector<std::string> args = {"compare", a, b};
    if (b.starts_with("vhd-")) args = {"compare", "-F", "vpc", a, b};
    RunResult run = runProgram("qemu-img", args, dir_.path());
    EXPECT_EQ(run.status, 0) << a << " vs " << b << ": " << run.out << run.err;
    // A VHD of whole MiB may be longer than its input, with zeros.
    const std::string mismatch = "Warning: Image size mismatch!\n";
    bool longer = b.starts_with("vhd-") && run.out.starts_with(mismatch);
    EXPECT_EQ(run.out.substr(longer ? mismatch.size() : 0), "Images are identical.\n");
    RunResult ours = compare(a, b);
    EXPECT_TRUE(ours.status == 0 && ours.out.ends_with("Identical\n"))
        << a << " vs " << b << ours.out;
  }

  // skarvel compare of |a| and |b|; a name that ends in .raw or starts with
  // raw- (the raw outputs of copy) is a raw disk.
  RunResult compare(const std::string& a, const std::string& b) {
    auto raw = [](const std::string& n) { return n.ends_with(".raw") || n.starts_with("raw-"); };
    std::vector<std::string> args = {"compare"};
    if (raw(a)) args.insert(args.end(), {"-f", "raw"});
    if (raw(b)) args.insert(args.end(), {"-F", "raw"});
    if (b.starts_with("vhd-")) args.insert(args.end(), {"-F", "vhd"});
    args.insert(args.end(), {a, b});
    return runSkarvel(args, dir_.path());
  }

  // Peers read the package |ova| as importers need it and unpack it into
  // |into|: 7-Zip lists the three members in order, Python's tarfile finds
  // ustar headers of the same sizes, xmllint accepts the envelope, whose
  // file reference gives the disk's exact size, and the checksum tools
  // agree with each manifest line. Returns the unpacked disk's path.
  std::string expectPackage(const std::string& ova, const std::string& into, bool sha1) {
    const std::vector<std::string> names = {"pkg.ovf", "pkg.mf", "pkg-disk1.vmdk"};
    RunResult list = runProgram("7zz", {"l", "-slt", ova}, dir_.path());
    std::string paths;
    for (size_t at = 0; (at = list.out.find("\nPath = ", at)) != std::string::npos; ++at) {
      paths += list.out.substr(at + 8, list.out.find('\n', at + 1) - at - 8) + " ";
    }
    EXPECT_EQ(paths, ova + " pkg.ovf pkg.mf pkg-disk1.vmdk ") << list.out;
    EXPECT_EQ(runProgram("7zz", {"x", "-o" + into, ova}, dir_.path()).status, 0);
    const char* script =
        "import sys, tarfile\nraw = open(sys.argv[1], 'rb').read()\n"
        "for m in tarfile.open(sys.argv[1]).getmembers():\n"
        "  print(m.name, m.size, raw[m.offset + 257:m.offset + 265] == b'ustar\\x0000')\n";
    std::string expected;
    for (const std::string& name : names) {
      expected += name + " " + std::to_string(fileSize(dir_.file(into + "/" + name))) + " True\n";
    }
    EXPECT_EQ(runProgram("python3", {"-c", script, ova}, dir_.path()).out, expected);
    EXPECT_EQ(runProgram("xmllint", {"--noout", into + "/pkg.ovf"}, dir_.path()).status, 0);
    std::string ovf = readText(dir_.file(into + "/pkg.ovf"));
    std::string size = std::to_string(fileSize(dir_.file(into + "/pkg-disk1.vmdk")));
    EXPECT_NE(ovf.find(" ovf:size=\"" + size + "\""), std::string::npos) << ovf;
    RunResult sums =
        runProgram(sha1 ? "sha1sum" : "sha256sum", {"pkg.ovf", "pkg-disk1.vmdk"}, dir_.file(into));
    std::string manifest = readText(dir_.file(into + "/pkg.mf")), fromSums;
    for (size_t at = 0, end; (end = sums.out.find('\n', at)) != std::string::npos; at = end + 1) {
      std::string line = sums.out.substr(at, end - at);
      size_t space = line.find("  ");
      fromSums += (sha1 ? "SHA1(" : "SHA256(") + line.substr(space + 2) +
                  ")= " + line.substr(0, space) + "\n";
    }
    EXPECT_EQ(manifest, fromSums);
    return into + "/pkg-disk1.vmdk";
  }

  void expectCleanCheck(const std::string& image) {
    RunResult run = runProgram("qemu-img", {"check", image}, dir_.path());
    EXPECT_EQ(run.status, 0) << image << ": " << run.out << run.err;
    EXPECT_NE(run.out.find("No errors were found on the image."), std::string::npos) << image;
  }

  ScopedTempDir dir_;
};

TEST_F(CommandsInteropTest, CopyOfASingleFileImageIsIdentical) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  skarvel({"create", "-s", "8M", "in.vmdk"});
  // Whole grains, a partial grain, the last grain.
  qemuIo("in.vmdk", {"write -P 0x11 0 128k", "write -P 0x22 4M 1k", "write -P 0x33 8128k 64k"});
  skarvel({"copy", "in.vmdk", "out.vmdk"});
  skarvel({"copy", "-p", "in.vmdk", "split.vmdk"});
  for (const char* out : {"out.vmdk", "split.vmdk"}) {
    expectIdentical("in.vmdk", out);
    expectCleanCheck(out);
  }
}

TEST_F(CommandsInteropTest, CopyOfASplitImageIsIdentical) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  // Two extents: 4192256 sectors and 2048; the writes fall in both, one across the seam.
  skarvel({"create", "-p", "-s", "2048M", "ours.vmdk"});
  qemuIo("ours.vmdk",
         {"write -P 0x31 0 64k", "write -P 0x32 2146369536 128k", "write -P 0x33 2147418112 64k"});
  ASSERT_TRUE(fileExists(dir_.file("ours-s002.vmdk")));
  // And a split image the other tool made, with its own geometry and keys.
  RunResult made = runProgram(
      "qemu-img",
      {"create", "-f", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", "theirs.vmdk", "8M"},
      dir_.path());
  ASSERT_EQ(made.status, 0) << made.err;
  qemuIo("theirs.vmdk", {"write -P 0x41 64k 64k", "write -P 0x42 5M 512"});

  for (const char* in : {"ours", "theirs"}) {
    std::string input = std::string(in) + ".vmdk";
    skarvel({"copy", input, std::string(in) + "-split-copy.vmdk"});
    skarvel({"copy", "-m", input, std::string(in) + "-single-copy.vmdk"});
    for (const char* kind : {"-split-copy.vmdk", "-single-copy.vmdk"}) {
      expectIdentical(input, std::string(in) + kind);
      expectCleanCheck(std::string(in) + kind);
    }
  }
  EXPECT_TRUE(fileExists(dir_.file("ours-split-copy-s002.vmdk")));
}

TEST_F(CommandsInteropTest, CopyOfAChainTheOtherToolMadeIsIdentical) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  ASSERT_EQ(runProgram("qemu-img", {"create", "-f", "vmdk", "base.vmdk", "8M"}, dir_.path()).status,
            0);
  qemuIo("base.vmdk", {"write -P 0x11 0 128k", "write -P 0x12 1M 64k"});
  RunResult made = runProgram(
      "qemu-img", {"create", "-f", "vmdk", "-b", "base.vmdk", "-F", "vmdk", "child.vmdk"},
      dir_.path());
  ASSERT_EQ(made.status, 0) << made.err;
  qemuIo("child.vmdk",
         {"write -P 0x21 64k 64k", "write -P 0x22 1049088 512", "write -P 0x23 6M 1k"});

  skarvel({"copy", "child.vmdk", "flat.vmdk"});
  // -c 1 keeps only the child's grains and names base.vmdk as parent.
  skarvel({"copy", "-c", "1", "child.vmdk", "top.vmdk"});
  for (const char* out : {"flat.vmdk", "top.vmdk"}) {
    expectIdentical("child.vmdk", out);
    expectCleanCheck(out);
  }
}

// Chains whose members differ in size: the copy is the disk the child shows,
// of the child's capacity, and a member shows nothing past its own end.
TEST_F(CommandsInteropTest, CopyOfAChainHasTheChildsCapacity) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  auto make = [&](const std::string& image, const std::string& size, const std::string& parent) {
    std::vector<std::string> args = {"create", "-f", "vmdk"};
    if (!parent.empty()) args.insert(args.end(), {"-b", parent, "-F", "vmdk"});
    args.insert(args.end(), {image, size});
    RunResult run = runProgram("qemu-img", args, dir_.path());
    ASSERT_EQ(run.status, 0) << run.err;
  };
  make("base8.vmdk", "8M", "");
  qemuIo("base8.vmdk", {"write -P 0x11 0 64k"});
  make("base16.vmdk", "16M", "");
  qemuIo("base16.vmdk", {"write -P 0x12 64k 64k", "write -P 0x13 12M 64k"});
  make("grown.vmdk", "16M", "base8.vmdk");  // data past its parent's end
  qemuIo("grown.vmdk", {"write -P 0x21 12M 64k", "write -P 0x22 15M 1k"});
  make("shrunk.vmdk", "8M", "base16.vmdk");  // hides the parent's tail
  make("narrow.vmdk", "8M", "base16.vmdk");  // a middle that hides the root's tail
  make("wide.vmdk", "16M", "narrow.vmdk");
  const std::pair<const char*, uint64_t> cases[] = {
      {"grown.vmdk", 32768}, {"shrunk.vmdk", 16384}, {"wide.vmdk", 32768}};
  for (const auto& [child, sectors] : cases) {
    SCOPED_TRACE(child);
    std::string flat = std::string("flat-") + child;
    skarvel({"copy", child, flat});
    expectIdentical(child, flat);
    expectCleanCheck(flat);
    EXPECT_EQ(le64At(readBytes(dir_.file(flat)), 12), sectors);  // header capacity
  }
}

// A partial copy over a chain of mixed sizes: where a folded member ends,
// the chain reads zeros, and the copy stores them, so that the parent it
// keeps does not show through there. Each row is a chain, root first, of
// sizes and writes. Row 0: l4 (the child, 100M) -> l3 (90M) -> l2 (120M,
// data at 95M) -> l1 (70M) -> l0 (80M, all data). Row 1: a middle member
// ends inside grain 2343, where only the root holds data; below that end the
// grain shows the root's data, past it zeros.
TEST_F(CommandsInteropTest, PartialCopyOfAChainOfMixedSizesIsIdentical) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  struct Member {
    const char* size;
    std::vector<std::string> writes;
  };
  const std::vector<std::vector<Member>> chains = {
      {{"80M", {"write -P 0x10 0 80M"}},
       {"70M", {"write -P 0x11 1M 1M"}},
       {"120M", {"write -P 0x12 2M 1M", "write -P 0x12 95M 1M"}},
       {"90M", {"write -P 0x13 3M 1M", "write -P 0x13 89M 1M"}},
       {"100M", {"write -P 0x14 4M 1M", "write -P 0x14 99M 1M"}}},
      {{"204800000", {"write -P 0x15 153550848 64k"}}, {"153600000", {}}, {"153681920", {}}},
  };
  for (size_t row = 0; row < chains.size(); ++row) {
    const std::vector<Member>& chain = chains[row];
    auto name = [&](size_t level) {
      return std::to_string(row) + "-l" + std::to_string(level) + ".vmdk";
    };
    for (size_t level = 0; level < chain.size(); ++level) {
      std::vector<std::string> args = {"create", "-f", "vmdk"};
      if (level > 0) args.insert(args.end(), {"-b", name(level - 1), "-F", "vmdk"});
      args.insert(args.end(), {name(level), chain[level].size});
      ASSERT_EQ(runProgram("qemu-img", args, dir_.path()).status, 0);
      if (!chain[level].writes.empty()) qemuIo(name(level), chain[level].writes);
    }
    const size_t top = chain.size() - 1;
    for (size_t n = 1; n <= chain.size(); ++n) {
      SCOPED_TRACE(std::to_string(row) + " -c " + std::to_string(n));
      const std::string part = std::to_string(row) + "-" + std::to_string(n) + "-part.vmdk";
      skarvel({"copy", "-c", std::to_string(n), name(top), part});
      expectIdentical(name(top), part);
      expectCleanCheck(part);
      // -c n keeps member n, counted from the child: l(top - n).
      RunResult info = runProgram("qemu-img", {"info", part}, dir_.path());
      std::string kept = "backing file: " + (n < chain.size() ? name(top - n) : "");
      EXPECT_EQ(info.out.find(kept) != std::string::npos, n < chain.size()) << info.out;
    }
  }
}

TEST_F(CommandsInteropTest, ClonedChildWrittenByTheOtherToolReadsOverItsParent) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  skarvel({"create", "-s", "8M", "base.vmdk"});
  qemuIo("base.vmdk", {"write -P 0x11 0 128k", "write -P 0x12 1M 64k"});
  fs::create_directory(dir_.file("sub"));
  skarvel({"clone", "base.vmdk", "sub/child.vmdk"});  // records ../base.vmdk
  skarvel({"clone", "-p", "base.vmdk", "sub/split-child.vmdk"});
  expectCleanCheck("sub/child.vmdk");
  expectCleanCheck("sub/split-child.vmdk");
  // Before any write the child reads as its parent.
  expectIdentical("base.vmdk", "sub/split-child.vmdk");

  qemuIo("sub/child.vmdk",
         {"write -P 0x21 64k 64k", "write -P 0x23 1049088 512", "write -P 0x22 4M 1k"});
  RunResult raw =
      runProgram("qemu-img", {"convert", "-O", "raw", "sub/child.vmdk", "child.raw"}, dir_.path());
  ASSERT_EQ(raw.status, 0) << raw.err;
  Bytes expected(8 << 20, 0);
  auto fill = [&](size_t from, size_t length, uint8_t value) {
    std::fill(expected.begin() + static_cast<std::ptrdiff_t>(from),
              expected.begin() + static_cast<std::ptrdiff_t>(from + length), value);
  };
  fill(0, 64 << 10, 0x11);           // the parent's grain 0
  fill(64 << 10, 64 << 10, 0x21);    // the child's grain 1 over the parent's
  fill(1 << 20, 64 << 10, 0x12);     // the parent's grain 16 ...
  fill((1 << 20) + 512, 512, 0x23);  // ... under the child's partial write
  fill(4 << 20, 1 << 10, 0x22);      // the child's grain 64, no parent data
  Bytes actual = readBytes(dir_.file("child.raw"));
  ASSERT_EQ(actual.size(), expected.size());
  EXPECT_TRUE(actual == expected);
  expectCleanCheck("sub/child.vmdk");

  skarvel({"copy", "sub/child.vmdk", "flat.vmdk"});
  expectIdentical("sub/child.vmdk", "flat.vmdk");
  expectCleanCheck("flat.vmdk");
}

// Every output kind from every kind of input reads as the input in the other
// tools; every image checks clean, a stream opens in every reader, and
// skarvel's raw export of each gives back the raw disk byte for byte (its
// length rounded up to whole grains, with zeros). An OVA package's disk is
// checked so once the peers have read and unpacked the package.
TEST_F(CommandsInteropTest, EveryOutputKindFromEveryInput) {
  for (const char* peer : {"qemu-img", "qemu-io", "vmdkinfo", "7zz", "vhdiinfo", "python3",
                           "xmllint", "sha256sum", "sha1sum"})
    SKARVEL_REQUIRE_PEER(peer);
  skarvel({"create", "-d", "uuid=60 00 c2 9a", "-s", "8M", "single.vmdk"});
  qemuIo("single.vmdk", {"write -P 0x11 0 128k", "write -P 0x22 4M 1k", "write -P 0x33 8128k 64k"});
  skarvel({"copy", "-p", "single.vmdk", "split.vmdk"});
  skarvel({"clone", "single.vmdk", "child.vmdk"});
  qemuIo("child.vmdk", {"write -P 0x44 64k 64k", "write -P 0x55 4M 512"});
  ASSERT_EQ(runProgram("qemu-img", {"convert", "-O", "raw", "child.vmdk", "disk.raw"}, dir_.path())
                .status,
            0);
  // Holes where the disk reads zeros, data that begins inside a grain after
  // one, and a partial last sector appended without filling them.
  ASSERT_EQ(
      runProgram("qemu-io", {"-f", "raw", "-c", "write -P 0x77 6100k 4k", "disk.raw"}, dir_.path())
          .status,
      0);
  std::ofstream(dir_.file("disk.raw"), std::ios::binary | std::ios::app) << std::string(1000, 'f');
  Bytes raw = readBytes(dir_.file("disk.raw"));
  Bytes padded = raw;  // what every output of it holds: 8 MiB and one grain
  padded.resize((8 << 20) + 65536, 0);
  writeBytes(dir_.file("padded.raw"), padded);
  // A package as Python's tarfile packs it (POSIX format: the disk's name,
  // past ustar's 100 bytes, in an extended header), around the other tool's
  // stream of single.vmdk: read in place, it reads as single.vmdk.
  const std::string longName = std::string(120, 's') + ".vmdk";
  ASSERT_EQ(runProgram("qemu-img",
                       {"convert", "-O", "vmdk", "-o", "subformat=streamOptimized", "single.vmdk",
                        longName},
                       dir_.path())
                .status,
            0);
  writeText(dir_.file("s.ovf"), "<Envelope><References><File href=\"" + longName +
                                    "\" id=\"f\"/></References><DiskSection><Disk diskId=\"d\" "
                                    "fileRef=\"f\"/></DiskSection></Envelope>\n");
  ASSERT_EQ(runProgram("python3",
                       {"-c",
                        "import sys, tarfile; t = tarfile.open('p.ova', 'w', format=tarfile."
                        "PAX_FORMAT); t.add('s.ovf'); t.add(sys.argv[1]); t.close()",
                        longName},
                       dir_.path())
                .status,
            0);
  const std::vector<std::string> inputs[] = {{"single.vmdk"},
                                             {"split.vmdk"},
                                             {"-c", "all", "child.vmdk"},
                                             {"-f", "raw", "disk.raw"},
                                             {"p.ova"}};
  for (const char* kind : {"monolithicSparse", "twoGbMaxExtentSparse", "streamOptimized",
                           "monolithicFlat", "twoGbMaxExtentFlat", "raw", "vhd", "ova"}) {
    for (const std::vector<std::string>& input : inputs) {
      SCOPED_TRACE(kind + (" from " + input.back()));
      std::string out = std::string(kind) + "-" + input.back() + ".out";
      const std::string k = kind;
      // The ova command takes images and plain disks, not packages.
      if (k == "ova" && input.back() == "p.ova") continue;
      const std::string reference = input.back() == "disk.raw" ? "padded.raw"
                                    : input.back() == "p.ova"  ? "single.vmdk"
                                                               : input.back();
      // An OVA's disk is a stream: the rows below check it unpacked.
      bool sha1 = input.back() == "disk.raw";
      std::vector<std::string> args = {"copy", "-t", kind};
      if (k == "ova") args = {"ova", "--name", "pkg", "--manifest", sha1 ? "sha1" : "sha256"};
      args.insert(args.end(), input.begin(), input.end());
      args.push_back(out);
      skarvel(args);
      if (k == "ova") {
        // skarvel reads its own package in place too, and finds it sound.
        skarvel({"copy", out, out + ".vmdk"});
        expectIdentical(reference, out + ".vmdk");
        EXPECT_EQ(runSkarvel({"check", out}, dir_.path()).out, "0 problems found\n");
        out = expectPackage(out, "x-" + input.back(), sha1);
      }
      const bool stream = k == "streamOptimized" || k == "ova";
      expectIdentical(reference, out);
      if (k != "raw" && k != "vhd") expectCleanCheck(out);
      if (k == "vhd") {
        // Whole MiB: the raw disk's 8 MiB and a grain make 9 MiB.
        RunResult info = runProgram("vhdiinfo", {out}, dir_.path());
        std::string size = input.back() == "disk.raw" ? "9.0 MiB (9437184" : "8.0 MiB (8388608";
        EXPECT_NE(info.out.find("Media size\t\t: " + size + " bytes)"), std::string::npos)
            << info.out;
        EXPECT_EQ(runSkarvel({"check", "-f", "vhd", out}, dir_.path()).out, "0 problems found\n");
        // A footer with another cookie, size, disk type or checksum is none.
        for (uint64_t field : {0, 48 + 7, 60 + 3, 64 + 3}) {
          if (input.back() != "single.vmdk") break;
          Bytes vhd = readBytes(dir_.file(out));
          vhd[(8 << 20) + field] ^= 1;
          writeBytes(dir_.file("bad.vhd"), vhd);
          RunResult bad = runSkarvel({"check", "-f", "vhd", "bad.vhd"}, dir_.path());
          EXPECT_EQ(bad.err, "Unsupported image file bad.vhd\n") << field;
          EXPECT_EQ(bad.status, 1);
        }
      }
      if (k != "raw" && k != "vhd" && input.back() == "single.vmdk") {
        // Stream and flat outputs keep the input's own disk database keys;
        // sparse ones of version 1 the text they always had. A stream adds
        // what importers read, its long content ID ending in its CID.
        std::string text = k == "monolithicSparse" || stream
                               ? embeddedText(readBytes(dir_.file(out)))
                               : readText(dir_.file(out));
        bool keeps = stream || k.ends_with("Flat");
        EXPECT_EQ(text.find("\nddb.uuid = \"60 00 c2 9a\"\n") != std::string::npos, keeps) << text;
        std::string cid = text.substr(text.find("CID=") + 4, 8);
        for (const std::string& line : std::vector<std::string>{
                 "version=1\nencoding=\"UTF-8\"\n", "\nddb.toolsVersion = \"2147483647\"\n",
                 "\nddb.toolsInstallType = \"4\"\n", cid + "\"\n"}) {
          EXPECT_EQ(text.find(line) != std::string::npos, stream) << text;
        }
      }
      if (stream) {
        EXPECT_EQ(runProgram("vmdkinfo", {out}, dir_.path()).status, 0);
        // 7zz unpacks the disk it holds: the raw disk's bytes.
        RunResult unpacked = runProgram("7zz", {"x", "-so", out}, dir_.path());
        EXPECT_EQ(unpacked.status, 0) << unpacked.err;
        if (input.back() == "disk.raw") {
          EXPECT_TRUE(Bytes(unpacked.out.begin(), unpacked.out.end()) == padded);
        }
      }
      if (input.back() != "disk.raw") continue;
      std::string back = out;
      if (k == "vhd") skarvel({"copy", "-f", "vhd", "-t", "raw", out, back += ".raw"});
      if (k != "raw" && k != "vhd") skarvel({"copy", "-t", "raw", out, back += ".raw"});
      Bytes expected = padded;
      if (k == "vhd") expected.resize(9 << 20, 0);
      EXPECT_TRUE(readBytes(dir_.file(back)) == expected);
    }
  }
}

TEST_F(CommandsInteropTest, ConvertedImagesStillCheckClean) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  skarvel({"create", "-s", "8M", "single.vmdk"});
  skarvel({"create", "-p", "-s", "2048M", "split.vmdk"});
  for (const char* image : {"single.vmdk", "split.vmdk"}) {
    SCOPED_TRACE(image);
    qemuIo(image, {"write -P 0x5A 0 64k"});
    std::string before = std::string("before-") + image;
    skarvel({"copy", image, before});
    skarvel({"convert", image, "hwver=6", "adapter=buslogic"});
    expectCleanCheck(image);
    expectIdentical(before, image);
    RunResult info = runSkarvel({"info", image}, dir_.path());
    EXPECT_NE(info.out.find("HardwareVersion: 6\nAdapterType    : buslogic\n"), std::string::npos)
        << info.out;
  }
}

// compare finds the first byte that differs, in a grain, in a parent or in
// the tail of the longer disk, the earliest of several in slices compared at
// once; a tail of zeros only tells that sizes differ.
TEST_F(CommandsInteropTest, CompareFindsTheFirstDifference) {
  SKARVEL_REQUIRE_PEER("qemu-io");
  skarvel({"create", "-s", "8M", "base.vmdk"});
  qemuIo("base.vmdk", {"write -P 0x11 0 128k", "write -P 0x22 3M 64k"});
  skarvel({"clone", "base.vmdk", "child.vmdk"});
  qemuIo("child.vmdk", {"write -P 0x33 64k 64k"});
  skarvel({"copy", "child.vmdk", "flat.vmdk"});
  skarvel({"copy", "-s", "16M", "flat.vmdk", "long.vmdk"});
  skarvel({"copy", "-t", "raw", "flat.vmdk", "flat.raw"});
  // A stream whose first 4 MiB and the byte after them hold 0x77.
  Bytes slices(8 << 20, 0);
  std::fill_n(slices.begin(), 4194305, 0x77);
  writeBytes(dir_.file("slices.raw"), slices);
  skarvel({"copy", "-f", "raw", "-t", "streamOptimized", "slices.raw", "slices.vmdk"});
  const std::string sizes = "Sizes differ: 8388608 and 16777216 bytes\n";
  // Each row first writes to |target| (a change stays for the rows after it).
  struct Row {
    std::string target, write;
    std::string a, b;
    std::string out;
    int status;
  } rows[] = {
      {"", "", "child.vmdk", "flat.raw", "Identical\n", 0},
      {"", "", "flat.vmdk", "long.vmdk", sizes + "Identical\n", 0},
      {"flat.vmdk", "write -P 0x01 3145745 1", "flat.vmdk", "child.vmdk",
       "Content differs at byte 3145745\n", 2},
      {"long.vmdk", "write -P 0x55 12582913 1", "long.vmdk", "child.vmdk",
       "Sizes differ: 16777216 and 8388608 bytes\nContent differs at byte 12582913\n", 2},
      // In the parent, where the child holds nothing of its own.
      {"base.vmdk", "write -P 0x44 5M 512", "child.vmdk", "flat.raw",
       "Content differs at byte 5242880\n", 2},
      // The earliest of differences in slices of 4 MiB compared at once: the
      // last byte of a first slice of compressed grains, not the first byte
      // of the second, met sooner.
      {"flat.vmdk", "write -P 0x77 0 4194303", "flat.vmdk", "slices.vmdk",
       "Content differs at byte 4194303\n", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.a + " vs " + row.b);
    if (!row.target.empty()) qemuIo(row.target, {row.write});
    RunResult run = compare(row.a, row.b);
    EXPECT_EQ(run.out, row.out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, row.status);
  }
}

}  // namespace
}  // namespace skarvel::test
