#include "writer/output_image.h"

#include "base/fatal_error.h"
#include "base/paths.h"
#include "format/sparse_extent_file.h"
#include "platform/file.h"
#include "writer/appending_sparse_writer.h"
#include "writer/flat_writer.h"
#include "writer/multi_file_writer.h"
#include "writer/sequential_raw_writer.h"
#include "writer/single_file_writer.h"
#include "writer/stream_writer.h"
#include "writer/vhd_writer.h"

namespace skarvel {

namespace {

// The name the extent line of a stream sent to standard output gives.
constexpr const char* kStreamedFileName = "disk.vmdk";

int openStandardOutput() {
  int fd = platform::standardOutput();
  if (fd < 0) throw FatalError("Failed to write file " + std::string(kStandardOutputPath));
  return fd;
}

// Text written to a file in blocks as it is produced.
class TextSink {
 public:
  TextSink(int fd, const std::string& path) : fd_(fd), path_(path) {}

  void append(const std::string& text) {
    buffer_ += text;
    if (buffer_.size() >= kBlockBytes) flush();
  }

  void flush() {
    if (!buffer_.empty() &&
        !platform::writeFile(fd_, buffer_.data(), static_cast<uint32_t>(buffer_.size()))) {
      throw FatalError("Failed to write file " + path_);
    }
    buffer_.clear();
  }

 private:
  static constexpr size_t kBlockBytes = 1 << 20;
  int fd_;
  const std::string& path_;
  std::string buffer_;
};

}  // namespace

OutputImage::OutputImage(const std::string& path, const SparseLayout& layout,
                         const DiskDescriptor& descriptor)
    : path(path), layout(layout), descriptor(descriptor) {
  splitPath(path, directory, fileName);
}

SplitExtents OutputImage::splitExtents() const {
  return SplitExtents(fileName, layout.capacitySectors());
}

void OutputImage::forEachPathToCreate(OutputKind kind,
                                      const std::function<void(const std::string&)>& visit) const {
  if (kind == OutputKind::kSplitSparse || kind == OutputKind::kSplitFlat ||
      kind == OutputKind::kMonolithicFlat) {
    SplitExtents extents(fileName, layout.capacitySectors(), kind);
    for (uint64_t i = 0; i < extents.count(); ++i) visit(directory + extents.name(i));
  }
  visit(path);
}

std::unique_ptr<VMDKWriter> OutputImage::create(OutputKind kind, bool includeDdb) {
  if (toStandardOutput()) {
    if (kind == OutputKind::kRaw) {
      return std::make_unique<VMDKSequentialRawWriter>(openStandardOutput(), path, layout);
    }
    if (kind == OutputKind::kVhd) {
      VhdFooterBytes footer = newVhdFooter(layout.capacitySectors() * kSectorBytes);
      return std::make_unique<VMDKSequentialRawWriter>(
          openStandardOutput(), path, layout, std::vector<uint8_t>(footer.begin(), footer.end()));
    }
    if (kind != OutputKind::kStreamOptimized) {
      throw FatalError("Cannot write " + std::string(outputKindName(kind)) + " to standard output");
    }
  }
  switch (kind) {
    case OutputKind::kMonolithicSparse:
      return createSingleFile(includeDdb);
    case OutputKind::kSplitSparse:
      return createSplit(includeDdb);
    case OutputKind::kStreamOptimized:
      return createStream(includeDdb);
    case OutputKind::kMonolithicFlat:
    case OutputKind::kSplitFlat:
    case OutputKind::kRaw:
    case OutputKind::kVhd:
      break;
  }
  return createFlat(kind, includeDdb);
}

void OutputImage::refuseUnknownSize(OutputKind kind) const {
  std::string name = outputKindName(kind);
  if (kind == OutputKind::kRaw) return;
  // Only a raw disk or a stream goes to standard output, and a stream's
  // header goes first.
  if (toStandardOutput() && kind != OutputKind::kStreamOptimized) {
    throw FatalError("Cannot write " + name + " to standard output");
  }
  if (toStandardOutput() ||
      (kind != OutputKind::kMonolithicSparse && kind != OutputKind::kStreamOptimized)) {
    throw FatalError("Cannot write " + name + " from standard input");
  }
}

std::unique_ptr<VMDKWriter> OutputImage::createOfUnknownSize(OutputKind kind, bool includeDdb) {
  refuseUnknownSize(kind);
  bool sparse = kind == OutputKind::kMonolithicSparse;
  bool stream = kind == OutputKind::kStreamOptimized;
  if (kind == OutputKind::kRaw) {
    if (toStandardOutput()) {
      return std::make_unique<VMDKSequentialRawWriter>(openStandardOutput(), path, layout);
    }
    platform::closeFile(createOutputFile());
    return std::make_unique<VMDKFlatWriter>(-1, path, layout, directory,
                                            SplitExtents(fileName, layout.capacitySectors(), kind));
  }
  descriptor.createType = outputKindName(kind);
  if (stream) descriptor.ddbStyle = DdbStyle::kImport;
  auto describe = [copy = descriptor, name = fileName, includeDdb](const SparseLayout& final) {
    return composeDescriptor(copy, final, name, includeDdb);
  };
  // The longest text: that of the largest capacity.
  std::string text = describe(layout);
  checkDescriptorFits(text, path);
  int fd = createOutputFile();
  if (sparse) return std::make_unique<VMDKAppendingSparseWriter>(fd, path, layout, describe);
  return std::make_unique<VMDKStreamWriter>(fd, path, layout, text, VMDKStreamWriter::Observer(),
                                            describe);
}

int OutputImage::createOutputFile() const {
  int fd = platform::openFile(path, platform::kOpenBinary | platform::kOpenReadWrite |
                                        platform::kOpenCreate | platform::kOpenTruncate |
                                        platform::kOpenLockWrite);
  if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
  if (fd < 0) throw FatalError("Failed to create file " + path);
  return fd;
}

std::unique_ptr<VMDKWriter> OutputImage::createSingleFile(bool includeDdb) {
  // Sector numbers in one extent file are 32-bit.
  if (!layout.wholeFileAddressable()) {
    throw FatalError("Disk is too large for a single file, use -p");
  }
  descriptor.createType = outputKindName(OutputKind::kMonolithicSparse);
  std::string text = composeDescriptor(descriptor, layout, fileName, includeDdb);
  if (layout.descriptorSectors != 0) checkDescriptorFits(text, path);
  int fd = createSparseExtent(path, layout, text.data(), static_cast<uint32_t>(text.size()));
  return std::make_unique<VMDKSingleFileWriter>(fd, path, layout);
}

std::unique_ptr<VMDKWriter> OutputImage::createSplit(bool includeDdb) {
  descriptor.createType = outputKindName(OutputKind::kSplitSparse);
  SplitExtents extents = splitExtents();
  for (uint64_t i = 0; i < extents.count(); ++i) {
    std::string extentPath = directory + extents.name(i);
    int fd = createSparseExtent(extentPath, computeLayout(extents.sectors(i), 0), nullptr, 0);
    if (!platform::closeFile(fd)) throw FatalError("Failed to write file " + extentPath);
  }
  return writeDescriptorFile(extents, includeDdb, [this, &extents](int fd) {
    return std::make_unique<VMDKMultiFileWriter>(fd, path, layout, directory, extents);
  });
}

std::string OutputImage::streamDescriptorText(const std::string& savedName, bool includeDdb) {
  // Table entries name sectors of the file in 32 bits; a disk this large
  // could need more, compressed or not, and its directory alone is huge.
  if (!layout.wholeFileAddressable()) throw FatalError("Disk is too large for " + path);
  descriptor.createType = outputKindName(OutputKind::kStreamOptimized);
  descriptor.ddbStyle = DdbStyle::kImport;
  std::string text = composeDescriptor(descriptor, layout, savedName, includeDdb);
  checkDescriptorFits(text, path);
  return text;
}

std::unique_ptr<VMDKWriter> OutputImage::createStream(bool includeDdb) {
  // A stream sent to standard output is saved under a name not known here.
  std::string text =
      streamDescriptorText(toStandardOutput() ? kStreamedFileName : fileName, includeDdb);
  if (toStandardOutput()) {
    return std::make_unique<VMDKStreamWriter>(openStandardOutput(), path, layout, text);
  }
  int fd = platform::openFile(path, platform::kOpenBinary | platform::kOpenReadWrite |
                                        platform::kOpenCreate | platform::kOpenTruncate |
                                        platform::kOpenLockWrite);
  if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
  if (fd < 0) throw FatalError("Failed to create file " + path);
  return std::make_unique<VMDKStreamWriter>(fd, path, layout, text);
}

std::unique_ptr<VMDKWriter> OutputImage::createFlat(OutputKind kind, bool includeDdb) {
  descriptor.createType = outputKindName(kind);
  descriptor.ddbStyle = DdbStyle::kKeepInput;
  SplitExtents extents(fileName, layout.capacitySectors(), kind);
  for (uint64_t i = 0; i < extents.count(); ++i) {
    std::string extentPath = directory + extents.name(i);
    int fd = platform::openFile(extentPath, platform::kOpenBinary | platform::kOpenReadWrite |
                                                platform::kOpenCreate | platform::kOpenTruncate |
                                                platform::kOpenLockWrite);
    if (fd == platform::kFileInUse) throw FatalError("File is in use " + extentPath);
    if (fd < 0) throw FatalError("Failed to create file " + extentPath);
    // A VHD's footer follows the disk's bytes; it is written last.
    uint64_t trailer = kind == OutputKind::kVhd ? kVhdFooterBytes : 0;
    bool sized = platform::setFileSize(fd, extents.sectors(i) * kSectorBytes + trailer);
    if (!platform::closeFile(fd) || !sized) throw FatalError("Failed to write file " + extentPath);
  }
  auto makeWriter = [this, &extents](int fd) {
    return std::make_unique<VMDKFlatWriter>(fd, path, layout, directory, extents);
  };
  if (kind == OutputKind::kRaw) return makeWriter(-1);
  if (kind == OutputKind::kVhd) {
    return std::make_unique<VMDKVhdWriter>(path, layout, directory, extents);
  }
  return writeDescriptorFile(extents, includeDdb, makeWriter);
}

std::unique_ptr<VMDKWriter> OutputImage::writeDescriptorFile(
    const SplitExtents& extents, bool includeDdb,
    const std::function<std::unique_ptr<VMDKWriter>(int fd)>& makeWriter) {
  int fd = platform::openFile(path, platform::kOpenBinary | platform::kOpenReadWrite |
                                        platform::kOpenCreate | platform::kOpenTruncate |
                                        platform::kOpenLockWrite);
  if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
  if (fd < 0) throw FatalError("Failed to create " + path);
  std::unique_ptr<VMDKWriter> writer = makeWriter(fd);
  TextSink text(fd, path);
  text.append(headerSection(descriptor));
  text.append(kExtentSectionTitle);
  for (uint64_t i = 0; i < extents.count(); ++i) text.append(extentLine(extents.extent(i)));
  text.append("\n");
  text.append(ddbSection(descriptor, layout, includeDdb));
  text.flush();
  return writer;
}

}  // namespace skarvel
