// Parsing descriptor text back into a DiskDescriptor and its extent lines.
//
// The text is a sequence of lines of tokens. A token is a run of bytes
// without white space, or a quoted string; '=' after a bare token is a token
// of its own; '#' at the start of a token comments out the rest of the line;
// carriage returns are dropped everywhere, and so is a UTF-8 byte order mark
// that an editor put at the start of the text. A line "key = value" sets a known
// key; a line of four or more tokens that is not a key line is an extent
// line, and so is a line of three whose third is ZERO (an extent without a
// file). Nothing here fails: malformed lines are skipped.
#ifndef SKARVEL_FORMAT_DESCRIPTOR_PARSER_H_
#define SKARVEL_FORMAT_DESCRIPTOR_PARSER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "format/descriptor.h"

namespace skarvel {

// Delivers descriptor text one byte at a time. The text ends at the first
// zero byte or where the underlying data ends; after the end, every call
// reports the end again without reading.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Stores the next byte of text in |c| and returns true, or returns false at
  // the end of the text.
  bool next(uint8_t& c);

 protected:
  // Reads up to |capacity| bytes of raw data; returns the count, 0 at the end.
  virtual uint32_t fill(uint8_t* buffer, uint32_t capacity) = 0;

 private:
  static constexpr uint32_t kChunkBytes = 512;
  uint8_t chunk_[kChunkBytes];
  uint32_t chunkLength_ = 0;
  uint32_t chunkPosition_ = 0;
  bool ended_ = false;
};

// Text from an open file, from its current position on. A read that the
// operating system reports as failed throws FatalError("Failed to read file "
// + path).
class FileByteSource : public ByteSource {
 public:
  FileByteSource(int fd, const std::string& path) : fd_(fd), path_(path) {}

 protected:
  uint32_t fill(uint8_t* buffer, uint32_t capacity) override;

 private:
  int fd_;
  std::string path_;
};

// Text held in memory (for tests and in-memory callers).
class StringByteSource : public ByteSource {
 public:
  explicit StringByteSource(std::string text) : text_(std::move(text)) {}

 protected:
  uint32_t fill(uint8_t* buffer, uint32_t capacity) override;

 private:
  std::string text_;
  size_t position_ = 0;
};

struct ParsedDescriptor {
  DiskDescriptor descriptor;   // defaults (a fresh CID included) for absent keys
  ExtentList extents;          // in text order
  uint64_t consumedBytes = 0;  // bytes before the end, carriage returns counted
};

// The state machine over the bytes of one text.
class DescriptorParser {
 public:
  // Without |keepExtents| the extent lines are parsed but not kept (text
  // embedded in an extent file names no other extents), so that the memory
  // a long text costs stays bounded.
  explicit DescriptorParser(bool keepExtents = true) : keepExtents_(keepExtents) {}

  // Feeds one byte of text (a carriage return, and a byte order mark at the
  // start of the text, are counted and dropped).
  void consume(uint8_t c);
  // Ends the text and returns the result.
  ParsedDescriptor finish();

 private:
  enum class State { kBetweenTokens, kBareToken, kQuotedToken, kComment };

  // Acts on one byte of the text proper.
  void feed(uint8_t c);
  // Ends the look for a byte order mark: the bytes of a mark that was begun
  // but not finished ("\xEF" then "x") are text after all.
  void endMarkLook();
  void appendToToken(uint8_t c);
  void endToken();
  void handleLine();

  // A line means something through its first five tokens at most (an extent
  // line: access, size, type, file, offset); later ones are not kept. A token
  // longer than any real key, value or path is cut, so that a large file
  // that is no descriptor cannot exhaust memory.
  static constexpr size_t kMaxLineTokens = 5;
  static constexpr size_t kMaxTokenBytes = 64 * 1024;
  void applyKey(const std::string& key, const std::string& value);
  // Keeps a disk database line; past kMaxDdbKeys names, new ones are
  // dropped, so that a text of endless keys cannot exhaust memory.
  static constexpr size_t kMaxDdbKeys = 256;
  void keepDdbKey(const std::string& key, const std::string& value);

  // The UTF-8 encoding of U+FEFF, which marks text as UTF-8 and is no part of it.
  static constexpr uint8_t kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
  bool lookingForMark_ = true;  // until the first byte that is not the mark's
  size_t markBytes_ = 0;        // bytes of the mark found so far

  bool keepExtents_;
  State state_ = State::kBetweenTokens;
  std::string token_;
  std::vector<std::string> line_;
  ParsedDescriptor result_;
};

// Parses the whole text of |source|; see DescriptorParser for |keepExtents|.
ParsedDescriptor parseDescriptor(ByteSource& source, bool keepExtents = true);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_DESCRIPTOR_PARSER_H_
