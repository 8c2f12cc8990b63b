#include "format/descriptor_parser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// White space is exactly these six bytes, whatever the locale; bytes
// 0x80-0xFF are ordinary token characters.
bool isDescriptorSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The atoi rule; a value beyond 32 bits still gives a number (its low 32
// bits, or -1 past the 64-bit range), so a descriptor never stops the program.
int32_t decimalValue(const std::string& text) {
  std::optional<int32_t> value = readInteger(text);
  if (value) return *value;
  return static_cast<int32_t>(std::strtoll(text.c_str(), nullptr, 10));
}

// Reads a number as sscanf's "%x" and "%llu" do (white space, sign, an
// optional 0x for hex), through strtoull so that an over-long value is
// defined. Returns false, leaving |out| alone, when no digit is found.
bool scanNumber(const std::string& text, int base, uint64_t& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  unsigned long long value = std::strtoull(begin, &end, base);
  if (end == begin) return false;
  out = value;
  return true;
}

bool hexValue(const std::string& text, uint32_t& out) {
  uint64_t value;
  if (!scanNumber(text, 16, value)) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool unsignedValue(const std::string& text, uint64_t& out) { return scanNumber(text, 10, out); }

}  // namespace

bool ByteSource::next(uint8_t& c) {
  if (ended_) return false;
  if (chunkPosition_ == chunkLength_) {
    chunkLength_ = fill(chunk_, kChunkBytes);
    chunkPosition_ = 0;
    if (chunkLength_ == 0) {
      ended_ = true;
      return false;
    }
  }
  c = chunk_[chunkPosition_++];
  if (c == 0) ended_ = true;
  return !ended_;
}

uint32_t FileByteSource::fill(uint8_t* buffer, uint32_t capacity) {
  int64_t n = platform::readFile(fd_, buffer, capacity);
  if (n < 0) throw FatalError("Failed to read file " + path_);
  return static_cast<uint32_t>(n);
}

uint32_t StringByteSource::fill(uint8_t* buffer, uint32_t capacity) {
  size_t n = std::min<size_t>(capacity, text_.size() - position_);
  std::memcpy(buffer, text_.data() + position_, n);
  position_ += n;
  return static_cast<uint32_t>(n);
}

void DescriptorParser::consume(uint8_t c) {
  ++result_.consumedBytes;
  if (lookingForMark_) {
    if (c == kByteOrderMark[markBytes_]) {
      lookingForMark_ = ++markBytes_ < sizeof kByteOrderMark;
      return;
    }
    endMarkLook();
  }
  feed(c);
}

void DescriptorParser::endMarkLook() {
  lookingForMark_ = false;
  for (size_t i = 0; i < markBytes_; ++i) feed(kByteOrderMark[i]);
}

void DescriptorParser::feed(uint8_t c) {
  if (c == '\r') return;
  switch (state_) {
    case State::kBetweenTokens:
      if (c == '#') {
        state_ = State::kComment;
      } else if (c == '"') {
        state_ = State::kQuotedToken;
      } else if (!isDescriptorSpace(c)) {
        appendToToken(c);
        state_ = State::kBareToken;
      }
      break;
    case State::kBareToken:
      if (c == '=') {
        endToken();
        token_.push_back('=');
        endToken();
      } else if (isDescriptorSpace(c)) {
        endToken();
      } else {
        appendToToken(c);
      }
      break;
    case State::kQuotedToken:
      if (c == '"' || c == '\n') {
        endToken();
      } else {
        appendToToken(c);
      }
      break;
    case State::kComment:
      if (c == '\n') state_ = State::kBetweenTokens;
      break;
  }
  if (c == '\n' && !line_.empty()) handleLine();
}

ParsedDescriptor DescriptorParser::finish() {
  if (lookingForMark_) endMarkLook();
  if (!token_.empty()) endToken();
  if (!line_.empty()) handleLine();
  return std::move(result_);
}

void DescriptorParser::appendToToken(uint8_t c) {
  if (token_.size() < kMaxTokenBytes) token_ += static_cast<char>(c);
}

void DescriptorParser::endToken() {
  if (!token_.empty()) {
    if (line_.size() < kMaxLineTokens) line_.push_back(std::move(token_));
    token_.clear();
  }
  state_ = State::kBetweenTokens;
}

void DescriptorParser::handleLine() {
  std::vector<std::string> tokens = std::move(line_);
  line_.clear();
  const std::string& key = tokens[0];
  if (tokens.size() >= 2 && tokens[1] == "=") {
    applyKey(key, tokens.size() >= 3 ? tokens[2] : std::string());
    return;
  }
  // A ZERO extent has no file: its line ends after the type.
  bool zeroExtent = tokens.size() == 3 && tokens[2] == kZeroExtentType;
  if (tokens.size() < 4 && !zeroExtent) return;
  ExtentDescriptor extent;
  extent.access = key;
  unsignedValue(tokens[1], extent.size);
  extent.type = tokens[2];
  if (tokens.size() >= 4) extent.fileName = tokens[3];
  if (tokens.size() >= 5) unsignedValue(tokens[4], extent.offset);
  if (keepExtents_) result_.extents.push_back(std::move(extent));
}

void DescriptorParser::applyKey(const std::string& key, const std::string& value) {
  DiskDescriptor& d = result_.descriptor;
  if (key == "version") {
    d.version = decimalValue(value);
  } else if (key == "CID") {
    hexValue(value, d.CID);
  } else if (key == "parentCID") {
    hexValue(value, d.parentCID);
  } else if (key == "createType") {
    d.createType = value;
  } else if (key == "parentFileNameHint") {
    d.parentFileNameHint = value;
  } else if (key == "ddb.virtualHWVersion") {
    d.virtualHWVersion = decimalValue(value);
  } else if (key == "ddb.adapterType") {
    d.adapterType = value;
  }
  if (key.starts_with("ddb.")) keepDdbKey(key, value);
}

void DescriptorParser::keepDdbKey(const std::string& key, const std::string& value) {
  auto& keys = result_.descriptor.ddb;
  for (auto& [name, kept] : keys) {
    if (name == key) {
      kept = value;
      return;
    }
  }
  if (keys.size() < kMaxDdbKeys) keys.emplace_back(key, value);
}

ParsedDescriptor parseDescriptor(ByteSource& source, bool keepExtents) {
  DescriptorParser parser(keepExtents);
  uint8_t c;
  while (source.next(c)) parser.consume(c);
  return parser.finish();
}

}  // namespace skarvel
