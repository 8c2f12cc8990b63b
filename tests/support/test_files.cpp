#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/file.h"

namespace skarvel::test {

namespace fs = std::filesystem;

ScopedTempDir::ScopedTempDir() : ScopedTempDir(testing::TempDir()) {}

ScopedTempDir::ScopedTempDir(const std::string& parent) {
  // The process identifier keeps apart the test programs that run at once,
  // the counter the directories of one program, and a name left by a
  // program that ended long ago is skipped.
  static unsigned counter = 0;
  std::string stem = parent + (parent.ends_with('/') || parent.ends_with('\\') ? "" : "/") +
                     "skarvel-" + std::to_string(platform::processId()) + "-";
  constexpr unsigned kAttempts = 1000;
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    std::string candidate = stem + std::to_string(counter++);
    if (fs::create_directory(pathOf(candidate))) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory under " + parent);
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  fs::remove_all(pathOf(path_), ignored);
}

fs::path pathOf(const std::string& path) {
  return fs::path(std::u8string(path.begin(), path.end()));
}

std::string textOf(const fs::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

Bytes readBytes(const std::string& path) {
  std::ifstream in(pathOf(path), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& path) {
  std::ifstream in(pathOf(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(pathOf(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(pathOf(path), std::ios::binary | std::ios::trunc);
  out << text;
}

bool fileExists(const std::string& path) { return fs::exists(pathOf(path)); }

uint64_t fileSize(const std::string& path) { return fs::file_size(pathOf(path)); }

uint32_t le32At(const Bytes& bytes, uint64_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(offset + i);
  return value;
}

uint64_t le64At(const Bytes& bytes, uint64_t offset) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes.at(offset + i);
  return value;
}

Bytes grainOf(uint8_t fill) { return Bytes(65536, fill); }

std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

std::string embeddedText(const Bytes& file, size_t areaBytes) {
  std::string text;
  for (size_t i = 512; i < 512 + areaBytes && i < file.size() && file[i] != 0; ++i) text += file[i];
  return text;
}

std::map<std::string, Bytes> snapshot(const std::string& dir) {
  std::map<std::string, Bytes> entries;
  for (const auto& entry : fs::directory_iterator(pathOf(dir))) {
    std::string name = textOf(entry.path().filename());
    entries[name] = entry.is_regular_file() ? readBytes(textOf(entry.path())) : Bytes{'d'};
  }
  return entries;
}

size_t filesIn(const std::string& dir) {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(pathOf(dir))) count += entry.exists();
  return count;
}

}  // namespace skarvel::test
