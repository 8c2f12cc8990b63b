// Opening an image and choosing its reader.
#ifndef SKARVEL_READER_OPEN_IMAGE_H_
#define SKARVEL_READER_OPEN_IMAGE_H_

#include <memory>
#include <string>

#include "reader/vmdk_reader.h"

namespace skarvel {

// Both openers refuse "-", standard input, with FatalError("Cannot read from
// standard input").
//
// Opens |path| with the platform open |flags| (read-only binary for reading,
// read-write binary for convert, with a lock or without); its extents open
// with |extentFlags|, by default memberOpenFlags(flags) (commands that
// change extents in place open them for writing here: a second opening for
// writing would meet the image's own locks, which on Windows hold against
// the process itself). A sparse extent of version 1, 2 or 3 gets a
// VMDKSingleFileReader; a file without the sparse magic is read as a
// descriptor file by a VMDKMultiFileReader. Never returns null: throws
// FatalError("Failed to open " + path) when the file cannot be opened or is
// a character device,
// FatalError("File is in use " + path) when another program's lock forbids it,
// FatalError("Unsupported image file " + path) for a sparse extent of
// another version or compression and for a file that is not a descriptor
// with at least one extent line (VMDKMultiFileReader), and passes on the
// readers' other failures.
constexpr int kMemberFlags = -1;
std::unique_ptr<VMDKReader> openImage(const std::string& path, int flags,
                                      int extentFlags = kMemberFlags);

// The flags that the files an image opened with |imageFlags| reads through
// (its extents, its parents) open with: read-only binary, locked for reading
// when the image is locked at all.
int memberOpenFlags(int imageFlags);

// Opens |path| with |flags| (read-only, with a lock or none) as a raw disk
// (VMDKRawReader), whatever it holds. Throws the failures of openImageFile,
// FatalError("Unsupported image file " + path) when its length cannot be
// learnt or is 0, and FatalError("Unsupported extent file " + path) for a
// length beyond what 64-bit file positions reach.
// With |vhd| the file is a fixed VHD: the disk is what its footer names,
// and a footer that is damaged or does not fill the file with the disk
// exactly is FatalError("Unsupported image file " + path).
std::unique_ptr<VMDKReader> openRawImage(const std::string& path, int flags, bool vhd = false);

// Opens standard input ("-"), read once front to back: with |raw| as a raw
// disk of at most |limitSectors| whose size is learnt where it ends
// (VMDKRawPipeReader), else as a stream-optimized image
// (VMDKStreamPipeReader). Throws FatalError("Cannot read from standard
// input") when there is none, or when without |raw| it does not begin with
// the header of a stream-optimized image.
std::unique_ptr<VMDKReader> openStandardInput(bool raw, uint64_t limitSectors);

}  // namespace skarvel

#endif  // SKARVEL_READER_OPEN_IMAGE_H_
