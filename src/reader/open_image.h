// Opening an image and choosing its reader.
#ifndef SKARVEL_READER_OPEN_IMAGE_H_
#define SKARVEL_READER_OPEN_IMAGE_H_

#include <memory>
#include <string>

#include "reader/vmdk_reader.h"

namespace skarvel {

// Opens |path| with the platform open |flags| (read-only binary for reading,
// read-write binary for convert). A file that begins with the sparse magic
// and version 1 gets a VMDKSingleFileReader; any other file is read as a
// descriptor file by a VMDKMultiFileReader. Never returns null: throws
// FatalError("Failed to open " + path) when the file cannot be opened, and
// passes on the readers' own failures.
std::unique_ptr<VMDKReader> openImage(const std::string& path, int flags);

}  // namespace skarvel

#endif  // SKARVEL_READER_OPEN_IMAGE_H_
