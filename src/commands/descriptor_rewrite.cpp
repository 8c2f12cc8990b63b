#include "commands/descriptor_rewrite.h"

#include <algorithm>
#include <vector>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "platform/file.h"
#include "reader/multi_file_reader.h"
#include "reader/single_file_reader.h"

namespace skarvel {

int createTemporaryBeside(const std::string& path, std::string& temporary) {
  constexpr int kAttempts = 100;
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    temporary = directory + "." + fileName + ".skarvel-" + std::to_string(attempt);
    int fd = platform::openFile(temporary, platform::kOpenBinary | platform::kOpenReadWrite |
                                               platform::kOpenCreate | platform::kOpenExclusive);
    if (fd >= 0) return fd;
  }
  return -1;
}

namespace {

// Replaces the descriptor file at |path| with |text|: the text goes to a new
// file beside it, which then takes the old one's place and permissions, so
// that a failure leaves the old file whole. A symbolic link is followed, so
// the file it names is replaced and the link stays. The reader is closed
// before the swap (some systems refuse to replace an open file).
void rewriteDescriptorFile(const std::string& path, std::unique_ptr<VMDKReader> reader,
                           const std::string& text) {
  std::string target = platform::resolvedPath(path);
  std::string temporary;
  int fd = createTemporaryBeside(target, temporary);
  bool written = fd >= 0 && platform::copyPermissions(reader->fileHandle(), fd) &&
                 platform::writeFile(fd, text.data(), static_cast<uint32_t>(text.size()));
  bool closed = fd >= 0 && platform::closeFile(fd);
  reader.reset();
  if (!written || !closed || !platform::replaceFile(temporary, target)) {
    if (fd >= 0) platform::removeFile(temporary);
    throw FatalError("Failed to re-write file " + path);
  }
}

bool overlaps(uint64_t start, uint64_t end, uint64_t otherStart, uint64_t otherEnd) {
  return start < otherEnd && otherStart < end;
}

// True when the descriptor area the header declares lies wholly inside the
// file as it is (rewriting it never grows the file), before the first grain,
// clear of both grain directories with the tables the layout puts after
// them, and clear of every table the directories name, so that rewriting it
// cannot damage the image.
bool descriptorAreaIsSafe(const VMDKSingleFileReader& reader, uint64_t fileSectors) {
  const SparseExtentHeader& header = reader.header();
  const SparseLayout& layout = reader.layout();
  // Each bound below 2^32 sectors, so that neither the sum nor the bytes wrap.
  if (header.overHead > kSectorLimit || header.descriptorSize > header.overHead ||
      header.descriptorOffset > kSectorLimit) {
    return false;
  }
  uint64_t start = header.descriptorOffset, end = start + header.descriptorSize;
  if (end > header.overHead || end > fileSectors) return false;
  uint64_t indexSectors = layout.directorySectors + kTableSectors * layout.grainTableCount;
  for (uint64_t directory : {header.gdOffset, header.rgdOffset}) {
    if (directory != 0 && overlaps(start, end, directory, directory + indexSectors)) return false;
  }
  return reader.indexAvoids(start, end);
}

// Throws FatalError("Invalid sparse extent header in " + path) when the
// descriptor area the header declares would reach other structures or the
// end of the file, and FatalError("Descriptor too long for " + path) when
// |text| does not fit it.
void checkEmbeddedArea(const VMDKSingleFileReader& reader, const std::string& text) {
  uint64_t fileBytes = 0;
  if (!platform::fileSizeOf(reader.fileHandle(), &fileBytes) ||
      !descriptorAreaIsSafe(reader, fileBytes / kSectorBytes)) {
    throw FatalError("Invalid sparse extent header in " + reader.path());
  }
  checkDescriptorFits(text, reader.path(), reader.header().descriptorSize * kSectorBytes);
}

// The largest piece of a descriptor area written at once.
constexpr uint64_t kPieceBytes = 1 << 20;

// Writes |text| and zeros over the whole descriptor area that the header
// declares (checked by checkEmbeddedArea), and nothing outside it.
//
// The text and its zero fill go out in one positioned write, so that a write
// that fails (a full disk) does not leave the new text running on into the
// old one's tail. An area larger than any descriptor needs is written in
// pieces after the first, which holds the text and its terminating zero.
void rewriteEmbeddedDescriptor(const VMDKSingleFileReader& reader, const std::string& text) {
  const SparseExtentHeader& header = reader.header();
  uint64_t areaBytes = header.descriptorSize * kSectorBytes;
  std::vector<uint8_t> piece(std::min(areaBytes, std::max<uint64_t>(kPieceBytes, text.size() + 1)));
  std::copy(text.begin(), text.end(), piece.begin());
  uint64_t start = header.descriptorOffset * kSectorBytes;
  for (uint64_t done = 0; done < areaBytes;) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(areaBytes - done, piece.size()));
    if (!platform::writeFileAt(reader.fileHandle(), start + done, piece.data(), n)) {
      throw FatalError("Failed to write file " + reader.path());
    }
    if (done == 0) std::fill(piece.begin(), piece.end(), 0);
    done += n;
  }
}

// Throws FatalError("Unsupported file name " + path) when a name that the
// rewritten text records between quotes would not read back as written: the
// image's own file name, or the name of an extent of a descriptor file (a
// bare word in the old text may hold a quote).
void refuseUnquotableNames(const VMDKReader& reader, const std::string& path,
                           const ExtentList& extents) {
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  if (!reader.isMultiFile()) {
    if (!quotesCleanly(fileName)) throw FatalError("Unsupported file name " + path);
    return;
  }
  for (const ExtentDescriptor& extent : extents) {
    if (!quotesCleanly(extent.fileName)) {
      throw FatalError("Unsupported file name " + resolveAgainst(directory, extent.fileName));
    }
  }
}

}  // namespace

std::string composeRewrite(const std::string& path, const VMDKReader& reader,
                           const DiskDescriptor& descriptor, const SparseLayout& layout,
                           const ExtentList* extents) {
  if (reader.isMultiFile()) {
    const ExtentList& lines =
        extents != nullptr ? *extents : static_cast<const VMDKMultiFileReader&>(reader).extents();
    refuseUnquotableNames(reader, path, lines);
    return composeDescriptor(descriptor, layout, lines, true);
  }
  refuseUnquotableNames(reader, path, {});
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  // The extent line gives the header's capacity, also when it is not whole
  // grains; a layout of another size (grow's) gives its own whole grains.
  uint64_t sectors =
      layout.grainCount == reader.grainCount() ? reader.capacity() : layout.capacitySectors();
  std::string text = composeDescriptor(descriptor, layout, fileName, true, sectors);
  checkEmbeddedArea(static_cast<const VMDKSingleFileReader&>(reader), text);
  return text;
}

void writeRewrite(const std::string& path, std::unique_ptr<VMDKReader>& reader,
                  const std::string& text) {
  if (reader->isMultiFile()) {
    rewriteDescriptorFile(path, std::move(reader), text);
  } else {
    rewriteEmbeddedDescriptor(static_cast<const VMDKSingleFileReader&>(*reader), text);
  }
}

std::vector<uint8_t> areaAfterHeader(const VMDKReader& reader, const std::string& text) {
  if (reader.isMultiFile()) return {};
  const SparseExtentHeader& header = static_cast<const VMDKSingleFileReader&>(reader).header();
  uint64_t areaBytes = header.descriptorSize * kSectorBytes;
  if (header.descriptorOffset != 1 || areaBytes > kPieceBytes) return {};
  std::vector<uint8_t> area(areaBytes, 0);
  std::copy(text.begin(), text.end(), area.begin());
  return area;
}

void rewriteDescriptor(const std::string& path, std::unique_ptr<VMDKReader> reader,
                       const DiskDescriptor& descriptor, const SparseLayout& layout) {
  std::string text = composeRewrite(path, *reader, descriptor, layout);
  writeRewrite(path, reader, text);
}

}  // namespace skarvel
