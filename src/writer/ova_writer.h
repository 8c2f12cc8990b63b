// Writing an OVA package in one pass over the disk: a ustar archive of the
// envelope, the manifest and the stream-optimized disk (see ova_layout.h).
//
// The envelope's and the manifest's lengths are fixed before the disk is
// written (the envelope at its longest, padded with white space), so their
// space is reserved at the front and the disk's stream goes straight after
// it, hashed as it is written. Once the disk is complete the documents that
// name its size and digest are written into their space; the archive's
// first block, the envelope's header, is written last, so that an archive cut
// short anywhere begins with a block of zeros (an empty archive to every
// reader of tar).
#ifndef SKARVEL_WRITER_OVA_WRITER_H_
#define SKARVEL_WRITER_OVA_WRITER_H_

#include <memory>

#include "format/ova/ova_layout.h"
#include "format/ova/ovf_envelope.h"
#include "platform/digest.h"
#include "writer/stream_writer.h"

namespace skarvel {

// What the package holds besides the disk's grains.
struct OvaSettings {
  OvfMachine machine;  // its name is the package's
  platform::DigestAlgorithm digest = platform::DigestAlgorithm::kSha256;
  uint64_t mtime = 0;  // of every member, seconds since 1970
};

class VMDKOvaWriter : public VMDKWriter {
 public:
  // Takes ownership of |fd|, open read-write on an empty file; |path| names
  // the package in messages. |descriptorText| is the disk's, as for a
  // stream output (REQUIRES: it fits). Writes the reserved space and the
  // start of the disk.
  VMDKOvaWriter(int fd, const std::string& path, const SparseLayout& layout,
                const std::string& descriptorText, const OvaSettings& settings);
  ~VMDKOvaWriter() override;

  // As the stream writer takes them: in increasing index order.
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;
  // Completes the disk and the archive's end, then writes the documents and
  // the member headers, the first block last, and closes the file.
  void close() override;

  // The archive's length, once closed.
  uint64_t packageBytes() const { return ova_.packageBytes(diskBytes_); }

 private:
  void writeAt(uint64_t offset, const void* data, uint64_t length);
  void writeMember(const std::string& name, uint64_t headerAt, const std::string& content);
  void observeDisk(const uint8_t* data, size_t length);

  OvaSettings settings_;
  OvaLayout ova_;
  platform::Digest diskDigest_;
  uint64_t diskBytes_ = 0;
  uint64_t grainsStored_ = 0;
  std::unique_ptr<VMDKStreamWriter> disk_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_OVA_WRITER_H_
