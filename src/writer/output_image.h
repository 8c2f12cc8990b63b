// An output image before creation: its path, layout and descriptor, and the
// two ways of turning it into files and a writer.
#ifndef SKARVEL_WRITER_OUTPUT_IMAGE_H_
#define SKARVEL_WRITER_OUTPUT_IMAGE_H_

#include <functional>
#include <memory>
#include <string>

#include "format/descriptor.h"
#include "writer/split_extents.h"
#include "writer/vmdk_writer.h"

namespace skarvel {

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

  // Calls |visit| with every path the chosen creation would write: the
  // extent files in order, then |path|.
  void forEachPathToCreate(bool split, const std::function<void(const std::string&)>& visit) const;

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
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_OUTPUT_IMAGE_H_
