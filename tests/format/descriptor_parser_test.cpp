// Parsing descriptor text: tokens, quotes, comments, line ends, a leading
// byte order mark, key lines and extent lines, the end of the text and the
// count of consumed bytes, from memory and from an open file.
#include "format/descriptor_parser.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "base/fatal_error.h"
#include "format/cid.h"
#include "platform/file.h"
#include "skip_on_windows.h"
#include "test_files.h"

namespace skarvel {
namespace {

using namespace std::string_literals;

// What a parse found that differs from a text that sets nothing, e.g.
// "CID=1a2b; createType='abc'; extent=RW,10,SPARSE,'a.vmdk',0". The
// generator is seeded with 1 before each parse, so a fresh CID is 41.
std::string summary(const ParsedDescriptor& parsed, size_t textBytes) {
  const DiskDescriptor& d = parsed.descriptor;
  std::ostringstream s;
  s << std::hex;
  if (d.version != 1) s << "; version=" << std::dec << d.version << std::hex;
  if (d.CID != 41) s << "; CID=" << d.CID;
  if (d.parentCID != kNoParentCID) s << "; parentCID=" << d.parentCID;
  if (d.createType != "monolithicSparse") s << "; createType='" << d.createType << "'";
  if (!d.parentFileNameHint.empty()) s << "; hint='" << d.parentFileNameHint << "'";
  if (d.hasParent()) s << "; hasParent";
  if (d.virtualHWVersion != 4) s << "; hwver=" << std::dec << d.virtualHWVersion << std::hex;
  if (d.adapterType != "lsilogic") s << "; adapter='" << d.adapterType << "'";
  s << std::dec;
  for (const ExtentDescriptor& e : parsed.extents) {
    s << "; extent=" << e.access << "," << e.size << "," << e.type << ",'" << e.fileName << "',"
      << e.offset;
  }
  if (parsed.consumedBytes != textBytes) s << "; consumed=" << parsed.consumedBytes;
  return s.str().empty() ? "" : s.str().substr(2);
}

TEST(DescriptorParserTest, Cases) {
  struct Case {
    const char* name;
    std::string text;
    std::string parsed;
  };
  const Case cases[] = {
      // Spacing around '='.
      {"key=value", "createType=abc\n", "createType='abc'"},
      {"key= value", "createType= abc\n", "createType='abc'"},
      {"key = value", "createType = abc\n", "createType='abc'"},
      {"key = quoted value", "createType = \"a b\tc\"\n", "createType='a b\tc'"},
      {"key =value is two tokens", "createType =abc\n", ""},
      {"key alone", "createType\n", ""},
      {"key = nothing", "createType =\n", "createType=''"},
      {"further tokens ignored", "createType = a b c\n", "createType='a'"},
      {"quoted key", "\"createType\"=abc\n", ""},
      {"tab, vertical tab, form feed", "createType\t=\vabc\f\n", "createType='abc'"},
      {"blank lines, indentation", "\n\n  \n createType = abc \n\n", "createType='abc'"},
      // Quotes and comments.
      {"quoted '=', '#', spaces", "createType=\"x = y # z\"\n", "createType='x = y # z'"},
      {"'#' inside a bare token", "createType=abc#def\n", "createType='abc#def'"},
      {"'\"' inside a bare token", "createType=a\"b\n", "createType='a\"b'"},
      {"'#' starting a token", "createType=abc #def\n", "createType='abc'"},
      {"comment right after '='", "createType=#abc\n", "createType=''"},
      {"comment line", "# createType=abc\nddb.adapterType=ide\n", "adapter='ide'"},
      {"unterminated quote ends with its line", "createType=\"abc\nddb.adapterType=ide\n",
       "createType='abc'; adapter='ide'"},
      {"unterminated quote at the end", "createType=\"a b", "createType='a b'"},
      // Line ends and the end of the text.
      {"CR LF lines", "createType=abc\r\nddb.adapterType=ide\r\n",
       "createType='abc'; adapter='ide'"},
      {"CR inside quotes dropped", "createType=\"a\rb\"\r\n", "createType='ab'"},
      {"last line without line feed", "createType=abc", "createType='abc'"},
      {"zero byte ends the text", "createType=abc\n\0ddb.adapterType=ide\n"s,
       "createType='abc'; consumed=15"},
      {"zero byte in a line", "createType=ab\0c\n"s, "createType='ab'; consumed=13"},
      {"zero byte first", "\0createType=abc\n"s, "consumed=0"},
      {"empty text", "", ""},
      // A UTF-8 byte order mark (octal 357 273 277) is skipped at the start, and only there.
      {"byte order mark", "\357\273\277createType=abc\r\n", "createType='abc'"},
      {"mark later is text", "createType=a\n\357\273\277ddb.adapterType=ide\n", "createType='a'"},
      {"mark begun is text", "\357\273ddb.adapterType=ide\n", ""},
      {"mark alone", "\357\273\277", ""},
      {"long comment across read chunks", "#" + std::string(1100, 'x') + "\r\ncreateType=abc\n",
       "createType='abc'"},
      // Extent lines.
      {"extent with a space in its name", "RW 4192256 SPARSE \"my disk-s001.vmdk\"\n",
       "extent=RW,4192256,SPARSE,'my disk-s001.vmdk',0"},
      {"extent with offset", "RDONLY 100 FLAT \"f.vmdk\" 2048\n",
       "extent=RDONLY,100,FLAT,'f.vmdk',2048"},
      {"tokens after the offset", "RW 1 SPARSE a.vmdk 5 6 7\n", "extent=RW,1,SPARSE,'a.vmdk',5"},
      {"comment after an extent", "RW 10 SPARSE \"a.vmdk\" # 5\n",
       "extent=RW,10,SPARSE,'a.vmdk',0"},
      {"unparsable numbers stay 0", "RW big SPARSE a.vmdk x\n", "extent=RW,0,SPARSE,'a.vmdk',0"},
      {"extents in text order", "RW 1 SPARSE \"a\"\r\n\nRW 2 SPARSE \"b\"",
       "extent=RW,1,SPARSE,'a',0; extent=RW,2,SPARSE,'b',0"},
      {"extent without file name", "RW 4192256 SPARSE\n", ""},
      {"zero extent has no file", "RW 2048 ZERO\nRW 8 ZERO # x\n",
       "extent=RW,2048,ZERO,'',0; extent=RW,8,ZERO,'',0"},
      {"empty quoted name is no token", "RW 10 SPARSE \"\"\n", ""},
      {"short lines ignored", "one\none two\none two three\n", ""},
      // Keys and their values.
      {"keys are case-sensitive", "cid=1A2B\nCreateType=x\nDDB.adapterType=ide\nVersion=3\n", ""},
      {"hex CID", "CID=1A2B\n", "CID=1a2b"},
      {"hex CID with 0x", "CID=0x1a2b\n", "CID=1a2b"},
      {"hex CID stops at a non-hex byte", "CID=12g4\n", "CID=12"},
      {"CID without digits unchanged", "CID=zz\n", ""},
      {"quoted CID", "CID=\"fffffffe\"\n", "CID=fffffffe"},
      {"parent", "parentCID=0000abcd\nparentFileNameHint=\"base dir/base.vmdk\"\n",
       "parentCID=abcd; hint='base dir/base.vmdk'; hasParent"},
      {"empty quoted hint", "parentCID=00001234\nparentFileNameHint=\"\"\n", "parentCID=1234"},
      {"hint without parent CID", "parentFileNameHint=base.vmdk\n", "hint='base.vmdk'"},
      {"key given twice", "createType=a\nCID=1\ncreateType=b\nCID=2\n", "CID=2; createType='b'"},
      // Octal escapes: \240 is 0xA0, \205 is 0x85, \377 is 0xFF.
      {"bytes 0x80-0xFF are token bytes", "createType=\240a\205b\nddb.adapterType=\377\n",
       "createType='\240a\205b'; adapter='\377'"},
      {"versions", "version=2\nddb.virtualHWVersion = \"6\"\n", "version=2; hwver=6"},
      {"versions by atoi", "version=x\nddb.virtualHWVersion=\" -7z\"\n", "version=0; hwver=-7"},
      {"geometry ignored", "ddb.geometry.cylinders = \"130\"\nddb.geometry.heads = \"16\"\n", ""},
  };
  for (const Case& c : cases) {
    seedCid(1);
    StringByteSource source(c.text);
    EXPECT_EQ(summary(parseDescriptor(source), c.text.size()), c.parsed) << c.name;
  }
}

// Counts how often the source goes back for more data.
class CountingSource : public ByteSource {
 public:
  explicit CountingSource(std::string text) : text_(std::move(text)) {}
  int fills = 0;

 protected:
  uint32_t fill(uint8_t* buffer, uint32_t capacity) override {
    ++fills;
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(capacity, text_.size() - position_));
    text_.copy(reinterpret_cast<char*>(buffer), n, position_);
    position_ += n;
    return n;
  }

 private:
  std::string text_;
  size_t position_ = 0;
};

TEST(DescriptorParserTest, EndOfTextIsFinal) {
  CountingSource zeroEnded("ab\0cd"s);
  uint8_t c = 0;
  ASSERT_TRUE(zeroEnded.next(c));
  EXPECT_EQ(c, 'a');
  ASSERT_TRUE(zeroEnded.next(c));
  EXPECT_EQ(c, 'b');
  EXPECT_FALSE(zeroEnded.next(c));
  EXPECT_FALSE(zeroEnded.next(c));  // "cd" is never delivered
  EXPECT_FALSE(zeroEnded.next(c));

  CountingSource exhausted("x");
  ASSERT_TRUE(exhausted.next(c));
  EXPECT_FALSE(exhausted.next(c));
  int fills = exhausted.fills;
  EXPECT_FALSE(exhausted.next(c));
  EXPECT_FALSE(exhausted.next(c));
  EXPECT_EQ(exhausted.fills, fills);  // no reading after the end
}

TEST(DescriptorParserTest, FileSourceReadsFromTheCurrentPosition) {
  test::ScopedTempDir dir;
  const std::string text =
      "# Disk DescriptorFile\r\nversion=1\r\nCID=0000beef\r\nparentCID=ffffffff\r\n"
      "createType=\"monolithicSparse\"\r\n\r\nRW 16384 SPARSE \"a.vmdk\"\r\n";
  // Text at byte 512 as in an extent file, ended by a zero byte, with a line
  // after the zero that must not be read.
  std::string content = std::string(512, 'j') + text + "\0ddb.adapterType=ide\n"s;
  test::writeText(dir.file("a.vmdk"), content);

  int fd = platform::openFile(dir.file("a.vmdk"), platform::kOpenBinary);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(platform::seekFile32(fd, 512));
  FileByteSource source(fd, dir.file("a.vmdk"));
  ParsedDescriptor parsed = parseDescriptor(source);
  platform::closeFile(fd);

  EXPECT_EQ(parsed.descriptor.CID, 0xBEEFu);
  EXPECT_EQ(parsed.descriptor.adapterType, "lsilogic");
  EXPECT_EQ(parsed.consumedBytes, text.size());
  ASSERT_EQ(parsed.extents.size(), 1u);
  EXPECT_EQ(parsed.extents[0].fileName, "a.vmdk");
  EXPECT_EQ(parsed.extents[0].size, 16384u);

  // A descriptor file without a zero byte ends at the end of the file.
  test::writeText(dir.file("d.vmdk"), "CID=7\nddb.adapterType = \"ide\"");
  fd = platform::openFile(dir.file("d.vmdk"), platform::kOpenBinary);
  ASSERT_GE(fd, 0);
  FileByteSource whole(fd, dir.file("d.vmdk"));
  parsed = parseDescriptor(whole);
  platform::closeFile(fd);
  EXPECT_EQ(parsed.descriptor.CID, 7u);
  EXPECT_EQ(parsed.descriptor.adapterType, "ide");
  EXPECT_EQ(parsed.consumedBytes, 29u);
}

TEST(DescriptorParserTest, FileSourceReportsReadErrors) {
  SKARVEL_SKIP_ON_WINDOWS("descriptors open for writing only in the file layer");
  test::ScopedTempDir dir;
  std::string path = dir.file("a.vmdk");
  test::writeText(path, "CID=7\n");
  // A descriptor open for writing only: the operating system refuses the read.
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  FileByteSource source(fd, path);
  try {
    parseDescriptor(source);
    ADD_FAILURE() << "a failed read passed as the end of the text";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Failed to read file " + path);
  }
  ::close(fd);
}

// A line counts through its first five tokens, and a token is cut at 64 KiB,
// so that a huge file without line ends cannot exhaust memory.
TEST(DescriptorParserTest, LongLinesAndTokensAreBounded) {
  StringByteSource extra("RW 8 SPARSE \"a.vmdk\" 7 x y z\n");
  ParsedDescriptor parsed = parseDescriptor(extra);
  ASSERT_EQ(parsed.extents.size(), 1u);
  EXPECT_EQ(parsed.extents[0].fileName, "a.vmdk");
  EXPECT_EQ(parsed.extents[0].offset, 7u);

  std::string huge(70000, 'h');
  StringByteSource source("parentFileNameHint = \"" + huge + "\"\nparentCID=1\n");
  parsed = parseDescriptor(source);
  EXPECT_EQ(parsed.descriptor.parentFileNameHint, std::string(65536, 'h'));
  EXPECT_EQ(parsed.descriptor.parentCID, 1u);
  EXPECT_EQ(parsed.consumedBytes, 22u + 70000 + 2 + 12);
}

}  // namespace
}  // namespace skarvel
