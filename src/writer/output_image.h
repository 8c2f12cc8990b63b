// An output image before creation: its path, layout and descriptor, and the
// ways of turning it into files and a writer, one per output kind.
#ifndef SKARVEL_WRITER_OUTPUT_IMAGE_H_
#define SKARVEL_WRITER_OUTPUT_IMAGE_H_

#include <functional>
#include <memory>
#include <string>

#include "format/descriptor.h"
#include "writer/output_kind.h"
#include "writer/split_extents.h"
#include "writer/vmdk_writer.h"

namespace skarvel {

// The output path that names standard output.
constexpr const char* kStandardOutputPath = "-";

struct OutputImage {
  std::string path;       // as typed; the single file or the descriptor file
  std::string directory;  // path up to and including its last separator
  std::string fileName;   // the rest; named in extent lines, stem of extent names
  SparseLayout layout;    // of the whole image
  DiskDescriptor descriptor;

  OutputImage(const std::string& path, const SparseLayout& layout,
              const DiskDescriptor& descriptor);

  // The extents a split output gets: 4192256 sectors each, the last taking
  // the rest, named stem + "-s%03u" + extension.
  SplitExtents splitExtents() const;

  // Calls |visit| with every path creating |kind| would write: the extent
  // files in order, then |path|.
  void forEachPathToCreate(OutputKind kind,
                           const std::function<void(const std::string&)>& visit) const;

  // True when the output goes to standard output ("-"), strictly in order.
  bool toStandardOutput() const { return path == kStandardOutputPath; }

  // Creates the files of |kind| (createSingleFile, createSplit, createStream
  // or createFlat) and returns its writer. To standard output only a stream
  // or a raw disk can go: other kinds throw FatalError("Cannot write " +
  // kind + " to standard output") before anything is written.
  std::unique_ptr<VMDKWriter> create(OutputKind kind, bool includeDdb);

  // For an input whose size is learnt only where it ends (a raw disk read
  // from standard input): the writer of |kind| for a disk of at most this
  // layout's capacity; the caller gives it the true capacity
  // (settleCapacity) before close. Kinds: monolithicSparse
  // (VMDKAppendingSparseWriter), streamOptimized to a file (its header and
  // descriptor written again last), raw (to standard output, or a file sized
  // last). Other kinds throw refuseUnknownSize's errors before anything is
  // created.
  std::unique_ptr<VMDKWriter> createOfUnknownSize(OutputKind kind, bool includeDdb);

  // Throws, for a kind createOfUnknownSize cannot make, FatalError("Cannot
  // write " + kind + " to standard output") for a kind that never goes
  // there, and FatalError("Cannot write " + kind + " from standard input")
  // for the others (a stream to standard output, whose header goes first).
  void refuseUnknownSize(OutputKind kind) const;

  // One sparse extent file at |path| with the descriptor embedded (when the
  // layout has a descriptor area); createType becomes "monolithicSparse".
  // Before any file exists, throws FatalError("Disk is too large for a single
  // file, use -p") when a fully written file would reach sector 2^32, and
  // FatalError("Descriptor too long for " + path) when the text does not fit.
  std::unique_ptr<VMDKWriter> createSingleFile(bool includeDdb);

  // Extent files under |directory|, then the descriptor file at |path|;
  // createType becomes "twoGbMaxExtentSparse". Throws FatalError("File is in
  // use " + path) when another program holds a lock on the descriptor file,
  // FatalError("Failed to create " + path) when it cannot be created, and
  // FatalError("Failed to write file " + path) when its text cannot be
  // written; extents made before stay. The extents are laid down and closed
  // one by one, and the descriptor text is written as it is composed, so
  // memory does not grow with the number of extents.
  std::unique_ptr<VMDKWriter> createSplit(bool includeDdb);

  // One stream-optimized file at |path| with the descriptor embedded;
  // createType becomes "streamOptimized". Throws, before the file exists,
  // FatalError("Disk is too large for " + path) when a fully written file
  // could reach sector 2^32 (as createSingleFile), FatalError("Descriptor
  // too long for " + path) when the text does not fit,
  // and FatalError("Failed to create file " + path) when it cannot be
  // created.
  std::unique_ptr<VMDKWriter> createStream(bool includeDdb);

  // The descriptor text of a stream-optimized file saved as |savedName|,
  // with the checks of createStream (the same messages, naming |path|);
  // createType becomes "streamOptimized". Creates nothing.
  std::string streamDescriptorText(const std::string& savedName, bool includeDdb);

  // For kind monolithicFlat or twoGbMaxExtentFlat: the extent files under
  // |directory| at their full length, holes only, then the descriptor file
  // at |path| with FLAT extent lines; createType becomes the kind's word.
  // For kind raw: the file at |path| alone, the capacity long. Throws
  // FatalError("Failed to create file " + path) when an extent file cannot
  // be created, FatalError("Failed to create " + path) when the descriptor
  // file cannot, and FatalError("Failed to write file " + path) when a file
  // cannot be sized or the text written; files made before stay.
  std::unique_ptr<VMDKWriter> createFlat(OutputKind kind, bool includeDdb);

 private:
  // Creates the descriptor file at |path| and hands it to |writer| (made by
  // the caller from the open descriptor), then writes the text listing
  // |extents| into it.
  // Creates the file at |path| for writing, empty.
  int createOutputFile() const;

  std::unique_ptr<VMDKWriter> writeDescriptorFile(
      const SplitExtents& extents, bool includeDdb,
      const std::function<std::unique_ptr<VMDKWriter>(int fd)>& makeWriter);
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_OUTPUT_IMAGE_H_
