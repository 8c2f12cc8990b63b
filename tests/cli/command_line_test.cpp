// The command line as a user meets it: the built binary's usage text, exit
// status and error lines for command words, options and the program's own
// name.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

const char kUsage[] =
    "Usage: skarvel <command> [options] [infile] [outfile]\n"
    "\n"
    "Options:\n"
    "    -s, --size xxG|xxM        total disk size\n"
    "    -p, --split               split into multiple files\n"
    "    -m, --merge               merge into single file\n"
    "    -c, --chains n            copy with parent files in n (n > 0 or n is 'all') levels\n"
    "    -t, --type kind           output kind: monolithicSparse, twoGbMaxExtentSparse,\n"
    "                              streamOptimized, monolithicFlat, twoGbMaxExtentFlat, raw,\n"
    "                              vhd (a fixed VHD of whole MiB)\n"
    "    -f, --format raw|vhd      the input is a raw disk or a fixed VHD\n"
    "    -F, --second-format raw|vhd  the same for compare's second input\n"
    "    -j, --json                a report for programs, in JSON\n"
    "    -d, --ddb name=value      the line ddb.name = \"value\" in a new image\n"
    "                              (no '\"', '=', CR or LF; repeatable)\n"
    "    --name NAME               the OVA's name (default: outfile's name without .ova)\n"
    "    --cpus N                  processors of the OVA's machine (default 1)\n"
    "    --memory xxM|xxG          memory of the OVA's machine (default 1G)\n"
    "    --manifest sha1|sha256    digests in the OVA's manifest (default sha256)\n"
    "    --disk n                  the disk of an OVA input that copy reads (default 1)\n"
    "    --salvage                 copy on past what cannot be read, with zeros there\n"
    "\n"
    "Commands:\n"
    "    skarvel info infile\n"
    "        -f, --format optional\n"
    "        -j, --json optional\n"
    "\n"
    "    skarvel convert file hwver=4|6 adapter=ide|buslogic|lsilogic\n"
    "        ddb.name=value optional (repeatable)\n"
    "\n"
    "    skarvel create [options] outfile\n"
    "        -s, --size required\n"
    "        -p, --split optional\n"
    "        -a, --adapter ide|buslogic|lsilogic\n"
    "        -r, --hwver 5|6 hardware version\n"
    "        -t, --type optional (not raw)\n"
    "        -d, --ddb optional\n"
    "\n"
    "    skarvel clone [options] infile outfile\n"
    "        -p, --split optional\n"
    "        -m, --merge optional\n"
    "        -d, --ddb optional\n"
    "\n"
    "    skarvel copy [options] infile outfile\n"
    "        -p, --split optional\n"
    "        -m, --merge optional\n"
    "        -c, --chains optional\n"
    "        -t, --type optional\n"
    "        -f, --format optional\n"
    "        -s, --size optional (larger than infile)\n"
    "        -j, --json optional\n"
    "        -d, --ddb optional\n"
    "        --disk optional (OVA input)\n"
    "        --salvage optional\n"
    "\n"
    "    skarvel ova [options] infile outfile.ova\n"
    "        -c, --chains all optional\n"
    "        -f, --format optional\n"
    "        -j, --json optional\n"
    "        -d, --ddb optional\n"
    "        --name, --cpus, --memory, --manifest optional\n"
    "\n"
    "    skarvel grow [options] file\n"
    "        -s, --size required\n"
    "        -j, --json optional\n"
    "\n"
    "    skarvel rebase [options] childfile parentfile\n"
    "        -l, --link-only optional\n"
    "        -j, --json optional\n"
    "\n"
    "    skarvel check [options] infile\n"
    "        -R, --repair optional\n"
    "        -f, --format optional\n"
    "        -j, --json optional\n"
    "\n"
    "    skarvel compare [options] first second\n"
    "        -f, --format optional (first)\n"
    "        -F, --second-format optional\n"
    "        -j, --json optional\n"
    "\n"
    "    skarvel compact [options] file\n"
    "        -j, --json optional\n"
    "\n";

std::vector<std::string> filesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

struct Invocation {
  std::vector<std::string> args;
  std::string argv0 = {};  // empty: the binary's own path
};

TEST(CommandLineTest, UsageTextForCommandLineErrors) {
  // clang-format off
  const Invocation cases[] = {
      {{}}, {{"unknown"}}, {{"INFO", "x.vmdk"}}, {{"Info", "x.vmdk"}}, {{"info ", "x.vmdk"}},
      {{""}}, {{"-h"}}, {{"--help"}}, {{"info", "-h"}}, {{"-h"}, "/some/dir/copy"},
      // Too few arguments for the command.
      {{"info"}}, {{"copy", "a.vmdk"}}, {{"clone", "a.vmdk"}}, {{"convert", "a.vmdk"}},
      {{"create", "out.vmdk"}}, {{"create", "-s", "8M"}}, {{"grow", "a.vmdk"}},
      {{"grow", "-s", "8M"}}, {{"rebase", "a.vmdk"}}, {{"check", "-R"}},
      {{"compare", "a.vmdk"}}, {{"compare", "-F", "vmdk", "a.vmdk", "b.vmdk"}},
      {{"ova", "a.vmdk"}}, {{"ova", "--name", "a/b", "a.vmdk", "b.ova"}},
      // A package's disk names no parent: the whole chain is folded in.
      {{"ova", "-c", "1", "a.vmdk", "b.ova"}}, {{"compact"}},
      // Disk database lines that would not read back as written.
      {{"create", "-d", "toolsVersion", "-s", "8M", "x.vmdk"}},
      {{"create", "-d", "=1", "-s", "8M", "x.vmdk"}},
      {{"copy", "-d", "a=\"b", "a.vmdk", "b.vmdk"}}, {{"copy", "-d", "a=b=c", "a.vmdk", "b.vmdk"}},
      {{"clone", "-d", "a b=c", "a.vmdk", "b.vmdk"}}, {{"clone", "-d", "a=b\nc", "a.vmdk", "b.vmdk"}},
      {{"convert", "a.vmdk", "ddb.uuid=x\"y"}},
      // -s after the file name is a file name itself, so no size was given.
      {{"create", "out.vmdk", "-s", "8M"}},
      // The word comes from the program's file name, which is no command.
      {{"-p", "copy", "a.vmdk", "b.vmdk"}}, {{"-p", "a.vmdk", "b.vmdk"}, "copy.exe"},
      // Bad options, also together with an unknown word.
      {{"-x"}}, {{"copy", "-x", "a.vmdk", "b.vmdk"}}, {{"nope", "-x"}},
      {{"create", "-s", "-5G", "out.vmdk"}}, {{"create", "-s", "10g", "out.vmdk"}},
      {{"create", "-s", "0M", "out.vmdk"}}, {{"create", "-r", "0", "-s", "8M", "out.vmdk"}},
      {{"copy", "-c", "0", "a.vmdk", "b.vmdk"}},
      // Numbers with text after the digits are refused, not cut short.
      {{"create", "-s", "1.5G", "out.vmdk"}}, {{"create", "-s", "9xM", "out.vmdk"}},
      {{"create", "-r", "6x", "-s", "8M", "out.vmdk"}}, {{"copy", "-c", "3x", "a.vmdk", "b.vmdk"}},
      // Adapter texts that would rewrite the descriptor around them.
      {{"create", "-a", "ide\"\nparentCID=1234abcd\nparentFileNameHint=\"gone.vmdk", "-s", "8M",
        "out.vmdk"}},
      {{"create", "-a", "ide\"", "-s", "8M", "out.vmdk"}},
      {{"create", "-a", "a\tb", "-s", "8M", "out.vmdk"}},
      {{"create", "-a", "a\x7F", "-s", "8M", "out.vmdk"}},
      // Kinds and input formats: unknown words, a missing value, a -t that
      // contradicts -p or -m, and kinds or inputs the command cannot take.
      {{"copy", "-t", "vmfs", "a.vmdk", "b.vmdk"}}, {{"copy", "-t", "Raw", "a.vmdk", "b.vmdk"}},
      {{"copy", "-f", "vmdk", "a.vmdk", "b.vmdk"}}, {{"copy", "-t"}},
      {{"copy", "-p", "-t", "streamOptimized", "a.vmdk", "b.vmdk"}},
      {{"copy", "-t", "monolithicSparse", "-p", "a.vmdk", "b.vmdk"}},
      {{"copy", "-m", "-t", "twoGbMaxExtentSparse", "a.vmdk", "b.vmdk"}},
      {{"copy", "-c", "2", "-t", "monolithicFlat", "a.vmdk", "b.vmdk"}},
      {{"copy", "-c", "1", "-t", "raw", "a.vmdk", "b.vmdk"}},
      {{"create", "-t", "raw", "-s", "8M", "out.vmdk"}},
      {{"create", "-f", "raw", "-s", "8M", "out.vmdk"}},
      {{"clone", "-t", "streamOptimized", "a.vmdk", "b.vmdk"}},
      {{"clone", "-t", "monolithicFlat", "a.vmdk", "b.vmdk"}},
      {{"clone", "-f", "raw", "a.vmdk", "b.vmdk"}},
  };
  // clang-format on
  for (const Invocation& c : cases) {
    std::string label = c.argv0 + " " + ::testing::PrintToString(c.args);
    ScopedTempDir dir;
    RunResult result = runSkarvel(c.args, dir.path(), c.argv0);
    EXPECT_EQ(result.status, 1) << label;
    EXPECT_EQ(result.out, kUsage) << label;
    EXPECT_EQ(result.err, "") << label;
    EXPECT_TRUE(filesIn(dir.path()).empty()) << label;
  }
}

// Each command word, and a program named after a command, reaches its
// command: the missing input is the command's own failure, not a usage error.
TEST(CommandLineTest, WordsReachTheirCommands) {
  struct Case {
    Invocation invocation;
    std::string err;
  };
  const Case cases[] = {
      {{{"info", "missing.vmdk"}}, "Failed to open missing.vmdk\n"},
      {{{"copy", "missing.vmdk", "out.vmdk"}}, "Failed to open missing.vmdk\n"},
      {{{"clone", "missing.vmdk", "out.vmdk"}}, "Failed to open missing.vmdk\n"},
      {{{"convert", "missing.vmdk", "hwver=6"}}, "Failed to open missing.vmdk\n"},
      {{{"grow", "-s", "1G", "missing.vmdk"}}, "Failed to open missing.vmdk\n"},
      {{{"rebase", "-l", "missing.vmdk", "p.vmdk"}}, "Failed to open missing.vmdk\n"},
      {{{"check", "--repair", "missing.vmdk"}}, "Failed to open missing.vmdk\n"},
      {{{"compare", "-F", "raw", "missing.vmdk", "b"}}, "Failed to open missing.vmdk\n"},
      {{{"ova", "-c", "all", "--cpus", "2", "missing.vmdk", "b.ova"}},
       "Failed to open missing.vmdk\n"},
      // Standard input (here empty) is read by copy only, as a raw disk or a
      // stream; standard output takes a copy only.
      {{{"copy", "-f", "raw", "-", "out.vmdk"}}, "Unsupported image file -\n"},
      {{{"copy", "-", "out.vmdk"}}, "Cannot read from standard input\n"},
      {{{"copy", "-f", "vhd", "-", "out.vmdk"}}, "Cannot read from standard input\n"},
      {{{"copy", "-f", "raw", "-", "-"}}, "Cannot write monolithicSparse to standard output\n"},
      {{{"grow", "-s", "1G", "-"}}, "Cannot read from standard input\n"},
      // Options after the first file name are file names.
      {{{"info", "missing.vmdk", "-x"}}, "Failed to open missing.vmdk\n"},
      {{{"-p", "a.vmdk", "b.vmdk"}, "/some/dir/copy"}, "Failed to open a.vmdk\n"},
      {{{"-p", "-c", "all", "a.vmdk", "b.vmdk"}, "D:\\tools\\copy"}, "Failed to open a.vmdk\n"},
      // -t agreeing with -p or -m, and -c all with a flat output, are no conflicts.
      {{{"copy", "-p", "-t", "twoGbMaxExtentSparse", "a.vmdk", "b.vmdk"}},
       "Failed to open a.vmdk\n"},
      {{{"copy", "-c", "all", "-t", "raw", "-f", "raw", "a", "b"}}, "Failed to open a\n"},
      {{{"info", "--format", "raw", "a.raw"}}, "Failed to open a.raw\n"},
      {{{"clone", "--type", "twoGbMaxExtentSparse", "a.vmdk", "b.vmdk"}},
       "Failed to open a.vmdk\n"},
  };
  for (const Case& c : cases) {
    std::string label = c.invocation.argv0 + " " + ::testing::PrintToString(c.invocation.args);
    ScopedTempDir dir;
    RunResult result = runSkarvel(c.invocation.args, dir.path(), c.invocation.argv0);
    EXPECT_EQ(result.status, 1) << label;
    EXPECT_EQ(result.out, "") << label;
    EXPECT_EQ(result.err, c.err) << label;
    EXPECT_TRUE(filesIn(dir.path()).empty()) << label;
  }
}

TEST(CommandLineTest, OptionAfterFileNameIsPositional) {
  ScopedTempDir dir;
  // "-x" would be rejected before the file name; after it, create ignores it.
  RunResult result = runSkarvel({"create", "-s", "8M", "new.vmdk", "-x"}, dir.path());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"new.vmdk"});
  EXPECT_EQ(fileSize(dir.file("new.vmdk")), 65536u);  // 128 sectors of metadata
}

TEST(CommandLineTest, ProgramNamedAfterCommandTakesOptionsFirst) {
  ScopedTempDir dir;
  RunResult result = runSkarvel({"-s", "8M", "x.vmdk"}, dir.path(), "/usr/local/bin/create");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(fileSize(dir.file("x.vmdk")), 65536u);
}

}  // namespace
}  // namespace skarvel::test
