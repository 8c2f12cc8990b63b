// Inputs that once made the program fail under the fuzzer, replayed through
// the fuzz targets' own harness on every test run (under the sanitizers in
// the sanitize build).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "harness.h"

namespace skarvel::fuzz {
namespace {

namespace fs = std::filesystem;

size_t replay(const std::string& kind, void (*run)(const uint8_t*, size_t)) {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(SKARVEL_FUZZ_REGRESSIONS) / kind)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().string());
    run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++count;
  }
  return count;
}

TEST(ReplayTest, DescriptorInputs) { EXPECT_GT(replay("descriptor", runDescriptorInput), 0u); }

TEST(ReplayTest, CommandsInputs) { EXPECT_GT(replay("commands", runCommandsInput), 0u); }

}  // namespace
}  // namespace skarvel::fuzz
