#include "pipe_ends.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "test_files.h"

namespace skarvel::test {

namespace {

constexpr size_t kBlockBytes = 1 << 20;

size_t nextBlock(uint64_t left) {
  return static_cast<size_t>(std::min<uint64_t>(kBlockBytes, left));
}

}  // namespace

void feedPipe(const PipeEnds& ends, const std::string& directory,
              const std::function<bool(const char*, size_t)>& write) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ends.inputDelayMs));
  if (ends.input.empty()) return;
  std::ifstream file(pathOf(directory) / pathOf(ends.input), std::ios::binary);
  std::vector<char> block(kBlockBytes);
  for (uint64_t left = ends.inputBytes; left > 0; left -= static_cast<uint64_t>(file.gcount())) {
    file.read(block.data(), static_cast<std::streamsize>(nextBlock(left)));
    if (file.gcount() == 0 || !write(block.data(), static_cast<size_t>(file.gcount()))) return;
  }
}

std::string drainPipe(const PipeEnds& ends, const std::string& directory,
                      const std::function<size_t(char*, size_t)>& read) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ends.outputDelayMs));
  std::string bytes;
  std::ofstream file;
  if (!ends.output.empty()) file.open(pathOf(directory) / pathOf(ends.output), std::ios::binary);
  std::vector<char> block(kBlockBytes);
  for (uint64_t left = ends.outputBytes; left > 0;) {
    size_t got = read(block.data(), nextBlock(left));
    if (got == 0) break;
    if (file.is_open()) {
      file.write(block.data(), static_cast<std::streamsize>(got));
    } else {
      bytes.append(block.data(), got);
    }
    left -= got;
  }
  return bytes;
}

}  // namespace skarvel::test
