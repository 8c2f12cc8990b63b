// Rewriting the descriptor of an existing image in place, for the commands
// that change an image's settings (convert) or its parent (rebase).
#ifndef SKARVEL_COMMANDS_DESCRIPTOR_REWRITE_H_
#define SKARVEL_COMMANDS_DESCRIPTOR_REWRITE_H_

#include <memory>
#include <string>
#include <vector>

#include "format/descriptor.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

// The text that is to replace the descriptor of the image |reader| holds
// (opened from |path|): |descriptor| and |layout| composed with the disk
// database; a descriptor file keeps |extents| (by default its extent lines as
// read), and a one-file image's extent line gives the header's capacity when
// |layout| is that of its size (whole grains or not), else the layout's.
// Checked before anything is written; throws FatalError with
//   "Unsupported file name " + path         when a name the text records
//       between quotes would not read back (the image's own name, an
//       extent's name);
//   "Invalid sparse extent header in " + path when the embedded area would
//       reach other structures or the end of the file;
//   "Descriptor too long for " + path       when the text does not fit it.
std::string composeRewrite(const std::string& path, const VMDKReader& reader,
                           const DiskDescriptor& descriptor, const SparseLayout& layout,
                           const ExtentList* extents = nullptr);

// Puts |text| (from composeRewrite) in place of the descriptor of the image
// |reader| holds open read-write. An embedded descriptor is rewritten in its
// area (the reader stays open); a descriptor file is replaced in one step by
// a new file beside it, after the reader is closed (|reader| becomes null).
// Throws FatalError("Failed to write file " + path) when the area cannot be
// written, and FatalError("Failed to re-write file " + path) when the
// descriptor file cannot be replaced (it stays whole).
void writeRewrite(const std::string& path, std::unique_ptr<VMDKReader>& reader,
                  const std::string& text);

// Creates a new file beside |path|, "." + its name + ".skarvel-N" in its
// directory, that no other file or link occupies: for a file that is to
// replace |path| whole once it is complete. Returns its descriptor and sets
// |temporary|, or returns -1.
int createTemporaryBeside(const std::string& path, std::string& temporary);

// What writeRewrite puts in the embedded descriptor area of the one-file
// image |reader| holds, |text| and its zero fill, when that area begins at
// sector 1, right after the header, and is small enough for one write: a
// writer that changes the header too writes both at once. Empty for a
// descriptor file or an area elsewhere.
std::vector<uint8_t> areaAfterHeader(const VMDKReader& reader, const std::string& text);

// composeRewrite, then writeRewrite.
void rewriteDescriptor(const std::string& path, std::unique_ptr<VMDKReader> reader,
                       const DiskDescriptor& descriptor, const SparseLayout& layout);

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_DESCRIPTOR_REWRITE_H_
