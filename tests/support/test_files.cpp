#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace skarvel::test {

ScopedTempDir::ScopedTempDir() {
  std::string pattern = testing::TempDir() + "skarvel-XXXXXX";
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) throw std::runtime_error("cannot make a temporary directory");
  path_ = made;
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

uint64_t fileSize(const std::string& path) { return std::filesystem::file_size(path); }

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
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    entries[name] = entry.is_regular_file() ? readBytes(entry.path().string()) : Bytes{'d'};
  }
  return entries;
}

size_t filesIn(const std::string& dir) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) count += entry.exists();
  return count;
}

}  // namespace skarvel::test
