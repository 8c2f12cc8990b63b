// Checking an image as a whole: every sparse extent it is made of, the
// extent lines of its descriptor, and the links of its chain of parents.
#ifndef SKARVEL_READER_IMAGE_CHECK_H_
#define SKARVEL_READER_IMAGE_CHECK_H_

#include <string>

#include "reader/extent_check.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

// Opens the image at |path| read-only, with its chain of parents, and checks
// it:
// - every sparse extent (as image, extent or chain member) as
//   checkSparseExtent does;
// - the extent lines of a one-file image's embedded descriptor against its
//   header's capacity, and those of a descriptor file against their extents:
//   a SPARSE line's size against the extent's capacity, a FLAT line's
//   sectors against the length of its file;
// - each child's parentCID against its parent's CID.
// With |planRepairs|, the repairs of the image's own files (not its
// parents') are planned too. Throws the FatalError of openImage and openChain
// when the image cannot be read at all.
CheckReport checkImage(const std::string& path, bool planRepairs);

// Checks |image|, open already and naming no parent (a disk of a package),
// as checkImage checks an image without parents; plans no repairs.
CheckReport checkOpenImage(const VMDKReader& image);

// For a command about to write the image |image| holds open (from |path|)
// in place: checks its own files, not its parents, as checkImage does, and
// throws FatalError("Damaged image file " + path) at the first problem that
// is not harmless to writers (leaks are not problems), before anything is
// written. Throws FatalError("Failed to read file " + file) on an I/O error.
void refuseDamagedImage(const VMDKReader& image, const std::string& path);

}  // namespace skarvel

#endif  // SKARVEL_READER_IMAGE_CHECK_H_
