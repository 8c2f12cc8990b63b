// The windows of openFileWindow: descriptors that show part of a file as a
// file of its own. The file layer of each system asks here before it reads,
// positions or measures a descriptor; every other descriptor passes
// through unchanged, at the cost of one atomic load while no window is open.
#ifndef SKARVEL_PLATFORM_FILE_WINDOW_H_
#define SKARVEL_PLATFORM_FILE_WINDOW_H_

#include <cstdint>
#include <optional>

namespace skarvel::platform::window {

// Makes |fd| a window of |length| bytes from byte |offset| of its file,
// positioned at its start.
void add(int fd, uint64_t offset, uint64_t length);

// Ends the window |fd| is, if any; for closeFile, before the descriptor's
// number can be reused.
void remove(int fd);

// For a window: moves |*offset| from the window into the file and cuts
// |*length| at the window's end (to 0 at or past it). Leaves both alone
// for any other descriptor.
void mapRead(int fd, uint64_t* offset, uint32_t* length);

// The window's length; nothing when |fd| is no window.
std::optional<uint64_t> lengthOf(int fd);

// Sets the position a window reads on from. False when |fd| is no window.
bool seek(int fd, uint64_t offset);

// Reads on from the window's position, through readFileAt, and moves the
// position past what was read; nothing when |fd| is no window.
std::optional<int64_t> readOn(int fd, void* buffer, uint32_t length);

}  // namespace skarvel::platform::window

#endif  // SKARVEL_PLATFORM_FILE_WINDOW_H_
