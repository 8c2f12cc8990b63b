// Finding the grain directory of a stream-optimized extent through its footer.
//
// A stream written front to back cannot know where its directory goes when
// it writes the header, so the header's gdOffset is all ones and the footer,
// a copy of the header written after the directory, holds the real value.
// The footer is found by walking the markers from the first grain on.
#ifndef SKARVEL_READER_STREAM_FOOTER_H_
#define SKARVEL_READER_STREAM_FOOTER_H_

#include <cstdint>
#include <string>

namespace skarvel {

// Walks the markers of the stream in |fd| (at |path|) from sector
// |firstSector| (the header's overHead) to the footer marker, and returns the
// gdOffset of the footer that follows it. Throws FatalError("Failed to read
// file " + path) when the walk meets the end of the stream or of the file
// first, an unknown marker, or a footer that is not a header with a directory.
uint64_t directoryFromFooter(int fd, const std::string& path, uint64_t firstSector);

}  // namespace skarvel

#endif  // SKARVEL_READER_STREAM_FOOTER_H_
