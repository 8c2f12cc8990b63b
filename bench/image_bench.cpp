// Benchmarks of the commands on large images: wall time and peak memory.
//
//   build/release/bench/image_bench [work directory]
//
// Each case runs a command line in-process and prints its time and the
// process's peak resident memory so far. The targets: creating the largest
// single-file image writes only its metadata (about 256 MiB) in seconds;
// copying a 4 GiB image with a quarter of its grains allocated runs at disk
// speed; copying 100000 extents takes as long as 100000 grains of one;
// memory stays flat whatever the image size.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/entry.h"
#include "writer/output_image.h"

namespace {

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Runs one command line with standard output discarded.
int run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::ostringstream sink;
  std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
  int status = skarvel::runCommandLine(static_cast<int>(args.size()), argv.data());
  std::cout.rdbuf(saved);
  return status;
}

template <typename F>
void measure(const char* name, F&& body) {
  auto start = std::chrono::steady_clock::now();
  int status = body();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-40s status %d  %8.3f s  peak %ld KiB\n", name, status, seconds, peakResidentKiB());
}

// A 4 GiB image with every fourth grain written.
int makeQuarterFullImage(const std::string& path) {
  skarvel::OutputImage output(path, skarvel::layoutFromBytes(uint64_t{4} << 30, 1),
                              skarvel::DiskDescriptor());
  auto writer = output.createSingleFile(true);
  std::vector<uint8_t> grain(65536, 0x5A);
  for (uint64_t g = 0; g < output.layout.grainCount; g += 4)
    writer->writeGrain(g, grain.data(), 65536);
  writer->close();
  return 0;
}

// A descriptor file listing 100000 ZERO extents of one grain each: a copy
// costs the same per grain however many extents there are.
int makeManyExtentImage(const std::string& path) {
  std::ofstream text(path);
  text << "# Disk DescriptorFile\nversion=1\ncreateType=\"monolithicFlat\"\n\n";
  for (int i = 0; i < 100000; ++i) text << "RW 128 ZERO\n";
  return text ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
  std::string big = dir + "/bench-2047g.vmdk", src = dir + "/bench-src.vmdk";
  std::string copy = dir + "/bench-copy.vmdk", split = dir + "/bench-split.vmdk";

  measure("create -s 2047G (single file)", [&] {
    return run({"skarvel", "create", "-s", "2047G", big});
  });
  measure("info on 2047G", [&] { return run({"skarvel", "info", big}); });
  measure("write 4 GiB image, 1/4 grains", [&] { return makeQuarterFullImage(src); });
  measure("copy 4 GiB image", [&] { return run({"skarvel", "copy", src, copy}); });
  measure("copy -p 4 GiB image", [&] { return run({"skarvel", "copy", "-p", src, split}); });
  std::string many = dir + "/bench-many.vmdk", manyCopy = dir + "/bench-many-copy.vmdk";
  measure("write 100000 ZERO extents", [&] { return makeManyExtentImage(many); });
  measure("copy 100000 extents", [&] { return run({"skarvel", "copy", "-m", many, manyCopy}); });

  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("bench-", 0) == 0) std::filesystem::remove(entry);
  }
  return 0;
}
