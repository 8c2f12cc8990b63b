// Writing a fixed VHD to a file: the disk's bytes as a raw output holds them
// (holes where grains of zeros are never written), then, last, the footer
// that makes the file a VHD, so that a copy cut short is no VHD at all.
#ifndef SKARVEL_WRITER_VHD_WRITER_H_
#define SKARVEL_WRITER_VHD_WRITER_H_

#include "format/vhd/vhd_footer.h"
#include "writer/flat_writer.h"

namespace skarvel {

// The footer of a new fixed disk of |sizeBytes| bytes: made now, with a
// fresh unique id.
VhdFooterBytes newVhdFooter(uint64_t sizeBytes);

class VMDKVhdWriter : public VMDKFlatWriter {
 public:
  // The one file of |extents| (kind vhd) already exists under |directory|,
  // at the capacity's length and the footer's.
  VMDKVhdWriter(const std::string& path, const SparseLayout& layout, const std::string& directory,
                const SplitExtents& extents);

  // Writes the grains still gathered, then the footer after the disk's
  // bytes. Throws FatalError("Failed to write file " + path).
  void close() override;

 private:
  std::string filePath_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_VHD_WRITER_H_
