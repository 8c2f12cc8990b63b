// The grain loop that copy and ova share: every grain of the input that
// holds data goes to the writer, in increasing index order, with progress.
#ifndef SKARVEL_COMMANDS_GRAIN_COPY_H_
#define SKARVEL_COMMANDS_GRAIN_COPY_H_

#include <cstdint>

#include "commands/copy_progress.h"
#include "commands/lost_grains.h"
#include "reader/vmdk_reader.h"
#include "writer/vmdk_writer.h"

namespace skarvel {

// Copies grains 0 to |total| - 1 of |reader| into |writer|, calling
// |progress|.next() before each and finish() after the last; returns the
// grains stored. Without a parent to hide (|keepsParent| false), grains that
// read as zeros are not stored, and those the reader knows to be zeros are
// not even read; with one, a grain that reads as zeros is stored as zeros so
// that the parent's does not show through. With |lost|, a grain that fails
// to read (FatalError) is added to it and copied as a grain that reads as
// zeros; without, the failure ends the copy.
uint64_t copyGrains(VMDKReader& reader, VMDKWriter& writer, uint64_t total, bool keepsParent,
                    CopyProgress& progress, LostGrains* lost = nullptr);

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_GRAIN_COPY_H_
