// Units of the sparse extent format.
//
// A sector is 512 bytes; a grain, the unit of allocation, is 128 sectors; a
// grain table maps 512 grains with one 4-byte sector number each. Every
// offset inside an extent file is a sector number, and directory and table
// entries are 32-bit, so nothing in one extent file lies at or past sector
// 2^32 (2 TiB).
#ifndef SKARVEL_FORMAT_UNITS_H_
#define SKARVEL_FORMAT_UNITS_H_

#include <cstdint>

namespace skarvel {

constexpr uint64_t kSectorBytes = 512;
constexpr uint64_t kGrainSectors = 128;
constexpr uint64_t kGrainBytes = kGrainSectors * kSectorBytes;  // 65536
constexpr uint64_t kEntryBytes = 4;                             // one directory or table entry
constexpr uint64_t kTableEntries = 512;
constexpr uint64_t kTableSectors = kTableEntries * kEntryBytes / kSectorBytes;  // 4
constexpr uint64_t kEntriesPerSector = kSectorBytes / kEntryBytes;              // 128
constexpr uint64_t kDescriptorSectors = 20;
constexpr uint64_t kDescriptorBytes = kDescriptorSectors * kSectorBytes;  // 10240
constexpr uint64_t kSectorLimit = uint64_t{1} << 32;  // first sector a 32-bit entry cannot name

// The largest disk this program opens: 2^40 sectors (512 TiB), eight times
// the largest hosted disk there is. A declared size past it describes no real
// disk, and would only make the work of a copy or a report run for hours.
constexpr uint64_t kMaxCapacitySectors = uint64_t{1} << 40;

// A split image's extents hold 2047 MiB each (2 GiB less 1 MiB), 32752 grains.
constexpr uint64_t kSplitExtentSectors = 2047 * 2048;                         // 4192256
constexpr uint64_t kSplitExtentGrains = kSplitExtentSectors / kGrainSectors;  // 32752

// The descriptor geometry: 255 heads of 63 sectors per cylinder.
constexpr uint64_t kGeometryHeads = 255;
constexpr uint64_t kGeometrySectors = 63;
constexpr uint64_t kSectorsPerCylinder = kGeometryHeads * kGeometrySectors;  // 16065

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_UNITS_H_
