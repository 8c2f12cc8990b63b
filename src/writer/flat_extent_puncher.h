// Giving back the space of zeros in a FLAT extent: runs of grains that read
// as zeros become holes of the file (platform::punchHole), which read as
// zeros still. Each punch replaces zeros with zeros, so a run that stops at
// any point leaves the disk reading as before.
#ifndef SKARVEL_WRITER_FLAT_EXTENT_PUNCHER_H_
#define SKARVEL_WRITER_FLAT_EXTENT_PUNCHER_H_

#include <cstdint>
#include <functional>
#include <string>

namespace skarvel {

// Punches the grains of zeros among the |bytes| bytes from byte |first| of
// the file open as |fd| (at |path|, for messages), grains counted from
// |first|; a last part grain counts as a grain. Ranges the file system
// already reports as holes are passed by unread. Calls |step| once per
// grain, syncs the file, and returns the grains punched. Throws
// FatalError("Failed to read file " + path) or FatalError("Failed to write
// file " + path).
uint64_t punchZeroGrains(int fd, const std::string& path, uint64_t first, uint64_t bytes,
                         const std::function<void()>& step);

}  // namespace skarvel

#endif  // SKARVEL_WRITER_FLAT_EXTENT_PUNCHER_H_
