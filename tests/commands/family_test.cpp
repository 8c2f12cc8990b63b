// The rest of the image family as a user meets it: zeroed grains (version
// 2), stream-optimized images (version 3, also with the directory in a
// footer), flat disks in one file or several, and ZERO extents. Each sample
// copies, whole and split and through a child over it, to an image the
// general tool finds equal and clean. Files that are not images, as image or
// as parent, and damaged compressed grains end the run with one line.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "image_builder.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

constexpr uint64_t kGrain = 65536;

struct Sample {
  const char* name;  // also the input's name, with ".vmdk"
  const char* createType;
  uint64_t capacity;  // sectors
  std::function<void()> make;
  bool rawReference = false;  // the general tool cannot read it: name.raw holds the disk
  bool large = false;         // 2 GiB of flat data: one copy only
};

class FamilyTest : public ::testing::Test {
 protected:
  void run(const std::string& tool, const std::vector<std::string>& args) {
    RunResult result =
        tool == "skarvel" ? runSkarvel(args, dir_.path()) : runProgram(tool, args, dir_.path());
    ASSERT_EQ(result.status, 0) << tool << " " << args[0] << ": " << result.err << result.out;
  }
  void qemuIo(const std::string& image, const std::string& format,
              const std::vector<std::string>& commands) {
    std::vector<std::string> args = {"-f", format};
    for (const std::string& command : commands) args.insert(args.end(), {"-c", command});
    args.push_back(image);
    run("qemu-io", args);
  }
  // A raw disk (.raw) or an image; copies of odd capacities are larger by
  // up to a grain of zeros, which compare accepts with a warning.
  void expectEqual(const std::string& reference, const std::string& image) {
    bool raw = reference.ends_with(".raw");
    RunResult result = runProgram(
        "qemu-img", {"compare", "-f", raw ? "raw" : "vmdk", "-F", "vmdk", reference, image},
        dir_.path());
    EXPECT_EQ(result.status, 0) << reference << " vs " << image << ": " << result.out << result.err;
    EXPECT_TRUE(result.out.ends_with("Images are identical.\n")) << result.out;
  }
  // info --json agrees with the text report and, where it reads the image,
  // with the general tool's own report: size, format and backing file.
  void expectJsonAgrees(const std::string& image, bool peerReads) {
    RunResult json = runSkarvel({"info", "--json", image}, dir_.path());
    ASSERT_EQ(json.status, 0) << json.err;
    auto ours = nlohmann::json::parse(json.out);
    std::string sectors = std::to_string(ours["capacity_sectors"].get<uint64_t>());
    EXPECT_NE(runSkarvel({"info", image}, dir_.path()).out.find("Capacity       : " + sectors),
              std::string::npos);
    EXPECT_EQ(ours["capacity_bytes"], ours["capacity_sectors"].get<uint64_t>() * 512);
    if (!peerReads) return;
    RunResult peer = runProgram("qemu-img", {"info", "--output=json", image}, dir_.path());
    auto theirs = nlohmann::json::parse(peer.out);
    EXPECT_EQ(ours["capacity_bytes"], theirs["virtual-size"]) << image;
    EXPECT_EQ(ours["format"], theirs["format"]) << image;
    nlohmann::json parent = ours["chain"].size() > 1 ? ours["chain"][1]["file"] : nlohmann::json();
    EXPECT_EQ(parent, theirs.value("backing-filename", nlohmann::json())) << image;
  }
  // A copy with --json: progress lines, then a result whose grains and bytes
  // are what the output's own tables and the file system say.
  void copyReportingJson(const std::string& input, const std::string& output) {
    RunResult copy = runSkarvel({"copy", "--json", input, output}, dir_.path());
    ASSERT_EQ(copy.status, 0) << copy.err;
    std::istringstream text(copy.out);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_TRUE(lines.size() >= 2 && lines.size() <= 102) << copy.out;
    EXPECT_EQ(lines[lines.size() - 2]["done"], lines[lines.size() - 2]["total"]);
    // A split output lists its extents, then the descriptor file.
    const nlohmann::json& result = lines.back();
    EXPECT_EQ(result["outputs"].back(), output);
    uint64_t bytes = 0;
    for (const auto& file : result["outputs"]) bytes += fileSize(dir_.file(file));
    EXPECT_EQ(result["bytes_written"], bytes);
    RunResult info = runSkarvel({"info", "--json", output}, dir_.path());
    EXPECT_EQ(result["grains_stored"], nlohmann::json::parse(info.out)["allocated_grains"]);
  }
  void expectClean(const std::string& image) {
    RunResult result = runProgram("qemu-img", {"check", image}, dir_.path());
    EXPECT_EQ(result.status, 0) << image << ": " << result.out << result.err;
  }

  // The samples, each made in the temp dir when its make() runs.
  std::vector<Sample> samples() {
    return {
        {"zeroed", "monolithicSparse", 16384,
         [&] {
           // Zeroed grains over the parent's data (1, 16) and over nothing (64).
           run("qemu-img", {"create", "-f", "vmdk", "base.vmdk", "8M"});
           qemuIo("base.vmdk", "vmdk", {"write -P 0x11 0 256k", "write -P 0x12 1M 64k"});
           run("qemu-img", {"create", "-f", "vmdk", "-o", "zeroed_grain=on", "-b", "base.vmdk",
                            "-F", "vmdk", "zeroed.vmdk"});
           qemuIo("zeroed.vmdk", "vmdk",
                  {"write -z 64k 64k", "write -z 1M 64k", "write -P 0x21 128k 64k",
                   "write -z 4M 64k"});
         }},
        {"stream", "streamOptimized", 2000,
         [&] {
           // Data, zero grains, a partly zero grain and a short last grain.
           run("qemu-img", {"create", "-f", "raw", "stream-in.raw", "1000k"});
           qemuIo("stream-in.raw", "raw",
                  {"write -P 0x31 0 64k", "write -P 0x32 200k 100k", "write -P 0x33 960k 40k"});
           run("qemu-img", {"convert", "-f", "raw", "-O", "vmdk", "-o", "subformat=streamOptimized",
                            "stream-in.raw", "stream.vmdk"});
         }},
        {"footer", "streamOptimized", 16384,
         [&] {
           ExtentFixture fixture;
           fixture.capacity = 16384;
           fixture.streamOptimized = fixture.directoryInFooter = true;
           fixture.descriptor = descriptorText(0x55, 0xFFFFFFFF, "", "streamOptimized",
                                               "RW 16384 SPARSE \"footer.vmdk\"\n");
           fixture.grains = {{0, grainOf(0x41)}, {5, grainOf(0x42)}, {127, grainOf(0x43)}};
           writeSparseExtentFile(dir_.file("footer.vmdk"), fixture);
         }},
        {"flat", "monolithicFlat", 2000,
         [&] {
           // A grain of written zeros stays unallocated in the copy.
           run("qemu-img",
               {"create", "-f", "vmdk", "-o", "subformat=monolithicFlat", "flat.vmdk", "1000k"});
           qemuIo("flat.vmdk", "vmdk",
                  {"write -P 0x51 0 64k", "write -P 0 64k 64k", "write -P 0x52 900k 100k"});
         }},
        {"zero", "monolithicFlat", 16384,
         [&] {
           // Flat, zero and flat extents of 32, 64 and 32 grains.
           writeFlatFile(dir_.file("zero-f001.bin"), 4096, {{1, grainOf(0x61)}});
           writeFlatFile(dir_.file("zero-f002.bin"), 4096,
                         {{0, grainOf(0x62)}, {31, grainOf(0x63)}});
           writeText(dir_.file("zero.vmdk"),
                     descriptorText(0x66, 0xFFFFFFFF, "", "monolithicFlat",
                                    "RW 4096 FLAT \"zero-f001.bin\" 0\nRW 8192 ZERO\n"
                                    "RW 4096 FLAT \"zero-f002.bin\" 0\n"));
           Bytes raw(16384 * 512, 0);
           std::fill_n(raw.begin() + 1 * kGrain, kGrain, 0x61);
           std::fill_n(raw.begin() + 96 * kGrain, kGrain, 0x62);
           std::fill_n(raw.begin() + 127 * kGrain, kGrain, 0x63);
           writeBytes(dir_.file("zero.raw"), raw);
         },
         true},
        {"big", "twoGbMaxExtentFlat", 4196352,
         [&] {
           // Extents of 2048 MiB and 1 MiB; one write across the seam.
           run("qemu-img",
               {"create", "-f", "vmdk", "-o", "subformat=twoGbMaxExtentFlat", "big.vmdk", "2049M"});
           qemuIo(
               "big.vmdk", "vmdk",
               {"write -P 0x71 0 64k", "write -P 0x72 2097088k 128k", "write -P 0x73 2097664k 1k"});
         },
         false, true},
    };
  }

  ScopedTempDir dir_;
};

TEST_F(FamilyTest, EverySampleCopiesEqualAndClean) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  for (const Sample& s : samples()) {
    SCOPED_TRACE(s.name);
    std::string name = s.name, input = name + ".vmdk";
    s.make();
    RunResult info = runSkarvel({"info", input}, dir_.path());
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("CreateType     : " + std::string(s.createType) + "\n"),
              std::string::npos)
        << info.out;
    run("skarvel", {"check", input});  // status 0: nothing wrong
    expectJsonAgrees(input, !s.rawReference);

    std::string reference = s.rawReference ? name + ".raw" : input;
    copyReportingJson(input, name + "-copy.vmdk");
    expectEqual(reference, name + "-copy.vmdk");
    expectClean(name + "-copy.vmdk");
    // A stream also copies from standard input, read once in marker order.
    if (s.createType == std::string("streamOptimized")) {
      RunResult piped =
          runSkarvelReading(dir_.file(input), {"copy", "-", name + "-stdin.vmdk"}, dir_.path());
      EXPECT_EQ(piped.status, 0) << piped.err;
      expectEqual(reference, name + "-stdin.vmdk");
    }
    if (s.large) continue;
    run("skarvel", {"copy", "-p", input, name + "-split.vmdk"});
    expectEqual(reference, name + "-split.vmdk");
    expectClean(name + "-split.vmdk");

    // A child with a grain of its own over the sample: cloned, then written
    // by the general tool where it reads the sample, else built. Folding two
    // levels of it keeps the zeroed sample's parent beneath the copy.
    std::string child = name + "-child.vmdk", childReference = child;
    if (s.rawReference) {
      ExtentFixture fixture;
      fixture.capacity = s.capacity;
      fixture.descriptor = descriptorText(0x77, 0x66, input, "monolithicSparse", "");
      fixture.grains = {{2, grainOf(0x77)}};
      writeSparseExtentFile(dir_.file(child), fixture);
      Bytes raw = readBytes(dir_.file(reference));
      std::fill_n(raw.begin() + 2 * kGrain, kGrain, 0x77);
      childReference = name + "-child.raw";
      writeBytes(dir_.file(childReference), raw);
    } else {
      run("skarvel", {"clone", input, child});
      qemuIo(child, "vmdk", {"write -P 0x77 128k 64k"});
    }
    expectJsonAgrees(child, !s.rawReference);
    for (const char* levels : {"all", "2"}) {
      std::string out = name + "-child-" + levels + ".vmdk";
      run("skarvel", {"copy", "-c", levels, child, out});
      expectEqual(childReference, out);
      expectClean(out);
      run("skarvel", {"check", out});
    }
  }
}

// Every empty image the general tool creates, of each kind and option and
// split or not, checks clean.
TEST_F(FamilyTest, EveryImageTheGeneralToolCreatesChecksClean) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  int made = 0;
  for (const char* options :
       {"subformat=monolithicSparse", "subformat=monolithicSparse,zeroed_grain=on",
        "subformat=twoGbMaxExtentSparse", "subformat=monolithicFlat",
        "subformat=twoGbMaxExtentFlat", "subformat=streamOptimized",
        "subformat=streamOptimized,zeroed_grain=on", "adapter_type=ide,hwversion=6",
        "compat6=on"}) {
    for (const char* size : {"1000k", "2049M"}) {
      SCOPED_TRACE(options + std::string(" ") + size);
      std::string image = "made" + std::to_string(++made) + ".vmdk";
      run("qemu-img", {"create", "-f", "vmdk", "-o", options, image, size});
      RunResult check = runSkarvel({"check", image}, dir_.path());
      EXPECT_EQ(check.out, "0 problems found\n");
      EXPECT_EQ(check.status, 0);
    }
  }
}

// Neither images nor parents: one line, status 1, nothing written. Header
// bytes: version at 4, flags at 8, compressAlgorithm at 77.
TEST_F(FamilyTest, WhatIsNotAnImageIsRefused) {
  auto header = [](uint8_t version, uint32_t flags, uint8_t algorithm) {
    std::string bytes = "KDMV" + std::string(508, '\0');
    bytes[4] = static_cast<char>(version);
    for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<char>(flags >> (8 * i));
    bytes[77] = static_cast<char>(algorithm);
    return bytes;
  };
  const std::map<std::string, std::string> files = {
      {"notes.txt", "These are notes about a disk,\nnot a disk.\n"},
      {"zeros.vmdk", std::string(8192, '\0')},
      {"empty.vmdk", descriptorText(0x1, 0xFFFFFFFF, "", "monolithicSparse", "# no extents\n")},
      {"short.vmdk", "KDMV" + std::string("\x01\0\0", 3)},
      {"v0.vmdk", header(0, 3, 0)},
      {"v4.vmdk", header(4, 3, 0)},
      {"bzip.vmdk", header(3, 0x30001, 2)},  // compressed, but not with zlib
      {"bare.vmdk", header(3, 0x10001, 1)},  // compressed grains without markers
  };
  for (const auto& [file, bytes] : files) {
    writeText(dir_.file(file), bytes);
    ExtentFixture child;
    child.capacity = 16384;
    child.descriptor =
        descriptorText(0x2, 0x1, file, "monolithicSparse", "RW 16384 SPARSE \"c\"\n");
    writeSparseExtentFile(dir_.file("child.vmdk"), child);
    const std::vector<std::string> runs[] = {
        {"info", file},         {"copy", file, "out.vmdk"},         {"clone", file, "out.vmdk"},
        {"info", "child.vmdk"}, {"copy", "child.vmdk", "out.vmdk"},
    };
    for (const auto& args : runs) {
      SCOPED_TRACE(args[0] + " " + args[1] + " over " + file);
      size_t before = filesIn(dir_.path());
      RunResult result = runSkarvel(args, dir_.path());
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, "Unsupported image file " + file + "\n");
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(filesIn(dir_.path()), before);
    }
  }
}

// A compressed grain that cannot be what its table says ends the copy: a
// damaged stream, a length past the end of the file or the bound, a grain
// that inflates to more or less than the disk has there. A directory left to
// a footer that cannot be found ends it before anything is written.
TEST_F(FamilyTest, DamagedStreamsEndTheRun) {
  ExtentFixture fixture;
  fixture.capacity = 16384;
  fixture.streamOptimized = true;
  fixture.grains = {{0, grainOf(0x30)}, {1, Bytes(70000, 0x31)}, {2, Bytes(1000, 0x32)}};
  const struct {
    const char* name;
    bool footer;     // the directory is found by walking the markers to the footer
    uint64_t grain;  // whose marker the offset counts from; 9: from the footer's marker
    uint64_t offset;
    uint64_t value;  // a 4-byte value, or 0 to leave the grain as built
  } cases[] = {
      {"damaged stream", false, 0, 12 + 2, 0xFFFFFFFF},  // over its first deflate bytes
      {"length past the end", false, 0, 8, 100000},
      {"length above the bound", false, 0, 8, 0x7FFFFFFF},
      {"inflates past 64 KiB", false, 1, 0, 0},
      {"inflates short", false, 2, 0, 0},
      {"unknown marker before the footer", true, 9, 12, 7},
      {"end of stream before the footer", true, 9, 12, 0},
      {"length that wraps 32 bits on the walk", true, 0, 8, 0xFFFFFFF4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Lengths in grain markers also steer the walk to a footer: damage to
    // them is met when the grain is read only if the header names the
    // directory.
    fixture.directoryInFooter = c.footer;
    BuiltExtent built = writeSparseExtentFile(dir_.file("in.vmdk"), fixture);
    Bytes file = readBytes(dir_.file("in.vmdk"));
    // From the end: end of stream, footer, footer marker.
    uint64_t at = c.grain == 9 ? file.size() - 3 * 512 : built.grainSector[c.grain] * 512;
    for (int i = 0; c.value != 0 && i < 4; ++i) {
      file[at + c.offset + i] = static_cast<uint8_t>(c.value >> (8 * i));
    }
    if (c.grain == 9 && c.value == 0) std::fill_n(file.begin() + at + 12, 4, 0);
    writeBytes(dir_.file("in.vmdk"), file);
    RunResult result = runSkarvel({"copy", "in.vmdk", "out.vmdk"}, dir_.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Failed to read file in.vmdk\n");
    EXPECT_EQ(fileExists(dir_.file("out.vmdk")), !c.footer);  // a grain: copying had begun
    std::filesystem::remove(dir_.file("out.vmdk"));
  }
}

// convert rewrites an embedded descriptor of version 2 or 3 in place and a
// descriptor file with its extent lines as read; the disk stays the same.
// The zeroed sample is a child, which convert refuses.
TEST_F(FamilyTest, ConvertRewritesTheirDescriptors) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  run("qemu-img", {"create", "-f", "vmdk", "-o", "zeroed_grain=on", "v2.vmdk", "8M"});
  qemuIo("v2.vmdk", "vmdk", {"write -P 0x22 0 128k", "write -z 64k 64k"});
  const std::map<std::string, std::string> extentLines = {
      {"flat", "\nRW 2000 FLAT \"flat-flat.vmdk\" 0\n\n"},
      {"zero",
       "\nRW 4096 FLAT \"zero-f001.bin\" 0\nRW 8192 ZERO\nRW 4096 FLAT \"zero-f002.bin\" 0\n\n"}};
  for (const Sample& s : samples()) {
    std::string name = s.name, input = name + ".vmdk";
    if (s.large) continue;
    SCOPED_TRACE(name);
    s.make();
    if (name == "zeroed") {
      RunResult refused = runSkarvel({"convert", input, "hwver=6"}, dir_.path());
      EXPECT_EQ(refused.status, 1);
      EXPECT_EQ(refused.err,
                "This is not a root file in cloned chain, please convert the root file in cloned "
                "chain.\n");
      input = "v2.vmdk";
    }
    std::string before = s.rawReference ? name + ".raw" : "before-" + input;
    if (!s.rawReference) run("skarvel", {"copy", input, before});
    run("skarvel", {"convert", input, "hwver=6", "adapter=buslogic"});
    RunResult info = runSkarvel({"info", input}, dir_.path());
    EXPECT_NE(info.out.find("HardwareVersion: 6\nAdapterType    : buslogic\n"), std::string::npos)
        << info.out;
    if (extentLines.count(name)) {
      EXPECT_NE(readText(dir_.file(input)).find(extentLines.at(name)), std::string::npos);
    }
    // A copy after the rewrite still holds the same disk.
    run("skarvel", {"copy", input, "after-" + input});
    expectEqual(before, "after-" + input);
    if (!s.rawReference) expectClean(input);
  }
}

}  // namespace
}  // namespace skarvel::test
