// Where the bytes of a grain lie, unchanged, in a file a reader holds open:
// for a copy that lets the system move them from file to file instead of
// reading them in and writing them out.
#ifndef SKARVEL_FORMAT_GRAIN_PLACE_H_
#define SKARVEL_FORMAT_GRAIN_PLACE_H_

#include <cstdint>
#include <string>

namespace skarvel {

struct GrainPlace {
  int fd = -1;                        // the file, owned by the reader
  const std::string* path = nullptr;  // its path, for messages
  uint64_t offset = 0;                // of the grain's first byte in the file
  uint32_t length = 0;  // the grain's bytes there: fewer for a disk's short last grain
};

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_GRAIN_PLACE_H_
