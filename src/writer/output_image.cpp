#include "writer/output_image.h"

#include <algorithm>
#include <cstdio>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "format/sparse_extent_file.h"
#include "platform/file.h"
#include "writer/multi_file_writer.h"
#include "writer/single_file_writer.h"

namespace skarvel {

namespace {

constexpr const char* kMonolithicSparse = "monolithicSparse";
constexpr const char* kSplitSparse = "twoGbMaxExtentSparse";

std::string extentName(const std::string& fileName, uint32_t number) {
  size_t dot = fileName.rfind('.');
  std::string stem = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  std::string extension = dot == std::string::npos ? std::string() : fileName.substr(dot);
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "-s%03u", number);
  return stem + suffix + extension;
}

}  // namespace

OutputImage::OutputImage(const std::string& path, const SparseLayout& layout,
                         const DiskDescriptor& descriptor)
    : path(path), layout(layout), descriptor(descriptor) {
  splitPath(path, directory, fileName);
}

ExtentList OutputImage::splitExtents() const {
  ExtentList extents;
  uint64_t remaining = layout.capacitySectors();
  for (uint32_t number = 1; remaining > 0; ++number) {
    ExtentDescriptor extent;
    extent.size = std::min(remaining, kSplitExtentSectors);
    extent.fileName = extentName(fileName, number);
    extents.push_back(extent);
    remaining -= extent.size;
  }
  return extents;
}

std::vector<std::string> OutputImage::pathsToCreate(bool split) const {
  std::vector<std::string> paths;
  if (split) {
    for (const ExtentDescriptor& extent : splitExtents()) {
      paths.push_back(directory + extent.fileName);
    }
  }
  paths.push_back(path);
  return paths;
}

std::unique_ptr<VMDKWriter> OutputImage::createSingleFile(bool includeDdb) {
  // Sector numbers in one extent file are 32-bit.
  if (!layout.wholeFileAddressable()) {
    throw FatalError("Disk is too large for a single file, use -p");
  }
  descriptor.createType = kMonolithicSparse;
  std::string text = composeDescriptor(descriptor, layout, fileName, includeDdb);
  if (layout.descriptorSectors != 0) checkDescriptorFits(text, path);
  int fd = createSparseExtent(path, layout, text.data(), static_cast<uint32_t>(text.size()));
  return std::make_unique<VMDKSingleFileWriter>(fd, path, layout);
}

std::unique_ptr<VMDKWriter> OutputImage::createSplit(bool includeDdb) {
  descriptor.createType = kSplitSparse;
  ExtentList extents = splitExtents();
  std::vector<std::unique_ptr<VMDKWriter>> writers;
  for (const ExtentDescriptor& extent : extents) {
    SparseLayout extentLayout = computeLayout(extent.size, 0);
    std::string extentPath = directory + extent.fileName;
    int fd = createSparseExtent(extentPath, extentLayout, nullptr, 0);
    writers.push_back(std::make_unique<VMDKSingleFileWriter>(fd, extentPath, extentLayout));
  }
  std::string text = composeDescriptor(descriptor, layout, extents, includeDdb);
  int fd = platform::openFile(path, platform::kOpenBinary | platform::kOpenReadWrite |
                                        platform::kOpenCreate | platform::kOpenTruncate);
  if (fd < 0) throw FatalError("Failed to create " + path);
  auto writer = std::make_unique<VMDKMultiFileWriter>(fd, path, layout, std::move(writers));
  if (!platform::writeFile(fd, text.data(), static_cast<uint32_t>(text.size()))) {
    throw FatalError("Failed to write file " + path);
  }
  return writer;
}

}  // namespace skarvel
