// Laying down a new, empty sparse extent file.
#ifndef SKARVEL_FORMAT_SPARSE_EXTENT_FILE_H_
#define SKARVEL_FORMAT_SPARSE_EXTENT_FILE_H_

#include <cstdint>
#include <string>

#include "format/sparse_layout.h"

namespace skarvel {

// Creates (or empties and reuses) the file at |path| and writes, in file
// order: the header filled from |layout|, the descriptor area (when the
// layout has one) holding |descriptorText| followed by zeros, both grain
// directories with their all-zero tables, and zero padding up to
// layout.overhead. Returns the descriptor, open read-write and positioned at
// the end of the file, which is exactly layout.overhead sectors long.
//
// Only sectors that hold non-zero bytes are written: the file is first sized
// to its length, so the tables and the padding read as zeros without taking
// space. A file that cannot be sized (a device) gets every sector written.
//
// REQUIRES: the text fits the area with room for a terminating zero byte
// (checkDescriptorFits); a text that does not is refused with
// FatalError("Descriptor too long for " + path), never cut.
// The file is locked for writing (platform kOpenLockWrite) before it is
// truncated. Throws FatalError("File is in use " + path), the file
// unchanged, when another program's lock forbids that,
// FatalError("Failed to create file " + path) when the file cannot be
// opened, and FatalError("Failed to write file " + path) when a write fails
// (the partial file is left).
int createSparseExtent(const std::string& path, const SparseLayout& layout,
                       const char* descriptorText, uint32_t descriptorLength);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_SPARSE_EXTENT_FILE_H_
