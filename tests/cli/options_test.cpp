// Option parsing: the option table with its accepted and rejected forms, the
// compaction of argv to the positional arguments, the size text, numbers
// (white space and a sign may lead, nothing may follow the digits) and the
// adapter texts a descriptor can hold.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/fatal_error.h"

namespace skarvel {
namespace {

// A mutable, null-terminated argument vector as main() receives it.
class ArgVector {
 public:
  explicit ArgVector(const std::vector<std::string>& args) : strings_{"skarvel"} {
    strings_.insert(strings_.end(), args.begin(), args.end());
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
    argc = static_cast<int>(strings_.size());
  }
  char** argv() { return pointers_.data(); }

  int argc;

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

// Runs |body| and reports whether it failed with the usage text.
template <typename Body>
bool failsWithUsage(Body body) {
  try {
    body();
  } catch (const FatalError& error) {
    return error.showsUsage();
  }
  return false;
}

// The parsed options that differ from the defaults (size 0, no split, no
// merge, all chain levels, adapter "lsilogic", hardware version 4), then the
// positional arguments left in argv: "split chains=2 [in.vmdk] [out.vmdk]".
std::string summary(const CommandOptions& o, int argc, char** argv) {
  std::ostringstream s;
  if (o.sizeBytes != 0) s << " size=" << o.sizeBytes;
  if (o.split) s << " split";
  if (o.merge) s << " merge";
  if (o.chainLevels != -1) s << " chains=" << o.chainLevels;
  if (o.adapterType != "lsilogic") s << " adapter=" << o.adapterType;
  if (o.hardwareVersion != 4) s << " hwver=" << o.hardwareVersion;
  if (!o.packageName.empty()) s << " name=" << o.packageName;
  if (o.cpus != 1) s << " cpus=" << o.cpus;
  if (o.memoryMiB != 1024) s << " memory=" << o.memoryMiB;
  if (o.manifestSha1) s << " sha1";
  for (int i = 1; i < argc; ++i) s << " [" << argv[i] << "]";
  return s.str().empty() ? "" : s.str().substr(1);
}

TEST(OptionsTest, AcceptedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string parsed;
  };
  const Case cases[] = {
      {{}, ""},
      {{"in.vmdk"}, "[in.vmdk]"},
      {{"-p", "-c", "2", "in.vmdk", "out.vmdk"}, "split chains=2 [in.vmdk] [out.vmdk]"},
      // Options end at the first file name; later ones are file names too.
      {{"in.vmdk", "out.vmdk", "-p"}, "[in.vmdk] [out.vmdk] [-p]"},
      {{"-m", "a", "-x", "-h", "b"}, "merge [a] [-x] [-h] [b]"},
      // A lone "-" names standard input or output: a file name.
      {{"-p", "-", "out.vmdk"}, "split [-] [out.vmdk]"},
      {{"-s", "10G", "out.vmdk"}, "size=10737418240 [out.vmdk]"},
      {{"--size", "512M"}, "size=536870912"},
      {{"-s", "10M"}, "size=10485760"},
      {{"-s", "4G"}, "size=4294967296"},
      {{"-s", " 8M"}, "size=8388608"},
      {{"-s", "2147483647M"}, "size=2251799812636672"},
      {{"-s", "2147483647G"}, "size=2305843008139952128"},
      {{"-s", "1G", "-s", "8M"}, "size=8388608"},
      {{"-p", "--split", "--merge"}, "split merge"},
      {{"-c", "all"}, ""},
      {{"-c", "1"}, "chains=1"},
      {{"--chains", "3"}, "chains=3"},
      {{"-c", "2", "-c", "all"}, ""},
      {{"-a", "foo"}, "adapter=foo"},
      {{"--adapter", "ide"}, "adapter=ide"},
      {{"-a", ""}, "adapter="},
      {{"-a", "my \xC3\xA9 bus"}, "adapter=my \xC3\xA9 bus"},
      {{"-c", " +2"}, "chains=2"},
      // A value is taken verbatim, even when it looks like an option.
      {{"-a", "-p"}, "adapter=-p"},
      {{"-r", "7"}, "hwver=7"},
      // The package's machine: 89 bytes of name are the most a member name keeps.
      {{"--name", "web-1.2_a+b c", "--cpus", "8", "--memory", "2G", "--manifest", "sha1"},
       "name=web-1.2_a+b c cpus=8 memory=2048 sha1"},
      {{"--name", std::string(89, 'n'), "--memory", "1G", "--manifest", "sha256"},
       "name=" + std::string(89, 'n')},
      {{"--hwver", "  +5"}, "hwver=5"},
      {{"-r", "-3"}, "hwver=-3"},
      {{"-r", "-2147483648"}, "hwver=-2147483648"},
      {{"-r", "2147483647"}, "hwver=2147483647"},
      {{"-s", "20G", "-p", "-a", "buslogic", "-r", "6", "x.vmdk"},
       "size=21474836480 split adapter=buslogic hwver=6 [x.vmdk]"},
  };
  for (const Case& c : cases) {
    std::string label = ::testing::PrintToString(c.args);
    ArgVector v(c.args);
    char** argv = v.argv();
    CommandOptions options;
    ASSERT_NO_THROW(parseOptions(v.argc, argv, options)) << label;
    EXPECT_EQ(summary(options, v.argc, argv), c.parsed) << label;
    EXPECT_STREQ(argv[0], "skarvel") << label;
    EXPECT_EQ(argv[v.argc], nullptr) << label;
  }
}

TEST(OptionsTest, RejectedCommandLines) {
  // clang-format off
  const std::vector<std::string> cases[] = {
      // Help, unknown options, and options without their value.
      {"-h"}, {"--help"}, {"-p", "-h", "a"}, {"-x"}, {"-p", "-x", "a.vmdk"}, {"-S", "8M"},
      {"--Split"}, {"-pm"}, {"--size=10G"}, {"-s"}, {"--size"}, {"-a"}, {"-r"}, {"-c"},
      {"-p", "-c"},
      // Size texts.
      {"-s", "10g"}, {"-s", "10m"}, {"-s", "10"}, {"-s", "10K"}, {"-s", "0M"}, {"-s", "0G"},
      {"-s", "M"}, {"-s", "xM"}, {"-s", ""}, {"-s", "-5G"}, {"-s", "-1M"}, {"-s", "2147483648M"},
      {"-s", "99999999999G"}, {"-s", "8xM"}, {"-s", "1.5G"}, {"-s", "8 M"}, {"-s", "+M"},
      // Hardware versions and chain levels.
      {"-r", "0"}, {"-r", "abc"}, {"-r", "x"}, {"-r", ""}, {"-r", "2147483648"},
      {"-r", "-2147483649"}, {"-c", "0"}, {"-c", "-2"}, {"-c", "-1"}, {"-c", "x"}, {"-c", "ALL"},
      {"-c", "All"}, {"-c", " all"}, {"-c", "2147483648"}, {"-c", "2x"}, {"-c", "2 "}, {"-r", "6x"},
      {"-r", "6.0"}, {"-r", "-"},
      // Adapter texts that would end their quotes or line in descriptor text.
      {"-a", "ide\""}, {"-a", "ide\nparentCID=1234abcd"}, {"-a", "a\rb"}, {"-a", "a\tb"},
      {"-a", "\x01"}, {"-a", "\x1F"}, {"-a", "a\x7F"},
      // Package settings: names a member, a manifest line or a reference cannot hold.
      {"--cpus", "0"}, {"--cpus", "2x"}, {"--memory", "1K"}, {"--memory", "0M"},
      {"--manifest", "SHA256"}, {"--manifest", "md5"}, {"--name"}, {"--name", ""},
      {"--name", ".x"}, {"--name", " x"}, {"--name", "a/b"}, {"--name", "a(b)"},
      {"--name", "\xC3\xA9"}, {"--name", std::string(90, 'n')}, {"-n", "x"},
  };
  // clang-format on
  for (const std::vector<std::string>& args : cases) {
    ArgVector v(args);
    char** argv = v.argv();
    CommandOptions options;
    EXPECT_TRUE(failsWithUsage([&] { parseOptions(v.argc, argv, options); }))
        << ::testing::PrintToString(args);
  }
}

TEST(OptionsTest, ParseSizeCutsTheUnitLetter) {
  struct Case {
    std::string text;
    uint64_t bytes;
    std::string rest;
  };
  const Case cases[] = {
      {"10M", 10485760, "10"},    {"4G", 4294967296, "4"}, {"512M", 536870912, "512"},
      {"10G", 10737418240, "10"}, {"1M", 1048576, "1"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(parseSize(text), c.bytes) << c.text;
    EXPECT_EQ(text, c.rest) << c.text;
  }
  for (const char* bad :
       {"10g", "10", "0M", "M", "", "-5G", "2147483648M", "G", "5MB", "1.5G", "9xM", "8 M"}) {
    std::string text = bad;
    EXPECT_TRUE(failsWithUsage([&] { parseSize(text); })) << '"' << bad << '"';
  }
}

}  // namespace
}  // namespace skarvel
