// Rewriting the descriptor of an existing image in place, for the commands
// that change an image's settings (convert) or its parent (rebase).
#ifndef SKARVEL_COMMANDS_DESCRIPTOR_REWRITE_H_
#define SKARVEL_COMMANDS_DESCRIPTOR_REWRITE_H_

#include <memory>
#include <string>

#include "format/descriptor.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

// Replaces the descriptor of the image |reader| holds open read-write (as
// opened from |path|) with the text composed of |descriptor| and |layout|,
// the disk database included. A descriptor file keeps its extent lines as
// read and is replaced in one step by a new file beside it (the reader is
// closed before the swap); an embedded descriptor is rewritten in its area
// in one write. Throws FatalError with
//   "Unsupported file name " + path         when a name the text records
//       between quotes would not read back (the image's own name, an
//       extent's name), before anything is written;
//   "Invalid sparse extent header in " + path when the embedded area would
//       reach other structures or the end of the file;
//   "Descriptor too long for " + path       when the text does not fit it;
//   "Failed to write file " + path          when the area cannot be written;
//   "Failed to re-write file " + path       when the descriptor file cannot
//       be replaced (it stays whole).
void rewriteDescriptor(const std::string& path, std::unique_ptr<VMDKReader> reader,
                       const DiskDescriptor& descriptor, const SparseLayout& layout);

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_DESCRIPTOR_REWRITE_H_
