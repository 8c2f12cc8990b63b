// Temporary directories and whole-file helpers for tests.
#ifndef SKARVEL_TESTS_SUPPORT_TEST_FILES_H_
#define SKARVEL_TESTS_SUPPORT_TEST_FILES_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace skarvel::test {

// A fresh directory under the test temp dir, removed with everything in it
// when the object goes, also when an assertion failed.
class ScopedTempDir {
 public:
  ScopedTempDir();
  // A fresh directory under |parent| instead.
  explicit ScopedTempDir(const std::string& parent);
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using Bytes = std::vector<uint8_t>;

// Paths in tests are UTF-8 text, as in the tool. These convert to and from
// the standard library's path, which on Windows would otherwise read and
// write the ANSI code page.
std::filesystem::path pathOf(const std::string& path);
std::string textOf(const std::filesystem::path& path);

Bytes readBytes(const std::string& path);
std::string readText(const std::string& path);
void writeBytes(const std::string& path, const Bytes& bytes);
void writeText(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);
uint64_t fileSize(const std::string& path);

// Little-endian values at byte |offset| of |bytes|.
uint32_t le32At(const Bytes& bytes, uint64_t offset);
uint64_t le64At(const Bytes& bytes, uint64_t offset);

// A grain of 65536 bytes all set to |fill|.
Bytes grainOf(uint8_t fill);

// Eight lower-case hex digits, as descriptor text shows a CID.
std::string hex8(uint32_t value);

// The embedded descriptor text of an extent file: the bytes from sector 1 up
// to the first zero byte, at most |areaBytes| of them.
std::string embeddedText(const Bytes& file, size_t areaBytes = 10240);

// Every entry of |dir| by name, with a regular file's bytes (a directory
// shows as the single byte 'd'), to tell whether anything changed.
std::map<std::string, Bytes> snapshot(const std::string& dir);

// The number of entries in |dir|.
size_t filesIn(const std::string& dir);

}  // namespace skarvel::test

#endif  // SKARVEL_TESTS_SUPPORT_TEST_FILES_H_
