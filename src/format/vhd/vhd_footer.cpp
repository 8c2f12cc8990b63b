#include "format/vhd/vhd_footer.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "base/byte_order.h"
#include "format/units.h"

namespace skarvel {

namespace {

constexpr char kCookie[] = "conectix";
constexpr uint32_t kFeatures = 2;
constexpr uint32_t kFormatVersion = 0x00010000;
constexpr uint64_t kFixedDataOffset = ~uint64_t{0};
constexpr char kCreator[] = "win ";
constexpr uint32_t kCreatorVersion = 0x00010000;
constexpr char kCreatorHost[] = "Wi2k";
constexpr uint32_t kFixedDiskType = 2;

constexpr size_t kCookieAt = 0, kFeaturesAt = 8, kVersionAt = 12, kDataOffsetAt = 16;
constexpr size_t kTimestampAt = 24, kCreatorAt = 28, kCreatorVersionAt = 32, kHostAt = 36;
constexpr size_t kOriginalSizeAt = 40, kCurrentSizeAt = 48, kCylindersAt = 56, kHeadsAt = 58;
constexpr size_t kSectorsPerTrackAt = 59, kDiskTypeAt = 60, kChecksumAt = 64, kUniqueIdAt = 68;

// The ones' complement of the byte sum, the checksum field taken as 0.
uint32_t checksumOf(const VhdFooterBytes& footer) {
  uint32_t sum = std::accumulate(footer.begin(), footer.end(), uint32_t{0});
  for (size_t i = kChecksumAt; i < kChecksumAt + 4; ++i) sum -= footer[i];
  return ~sum;
}

}  // namespace

VhdGeometry vhdGeometry(uint64_t totalSectors) {
  constexpr uint64_t kMaxCylinders = 65535, kMaxHeads = 16, kMaxSectorsPerTrack = 255;
  uint64_t total = std::min(totalSectors, kMaxCylinders * kMaxHeads * kMaxSectorsPerTrack);
  VhdGeometry g;
  uint64_t cylinderTimesHeads;
  if (total >= kMaxCylinders * kMaxHeads * 63) {
    g.sectorsPerTrack = kMaxSectorsPerTrack;
    g.heads = kMaxHeads;
    cylinderTimesHeads = total / g.sectorsPerTrack;
  } else {
    g.sectorsPerTrack = 17;
    cylinderTimesHeads = total / g.sectorsPerTrack;
    g.heads = std::max<uint64_t>((cylinderTimesHeads + 1023) / 1024, 4);
    if (cylinderTimesHeads >= g.heads * 1024 || g.heads > kMaxHeads) {
      g.sectorsPerTrack = 31;
      g.heads = kMaxHeads;
      cylinderTimesHeads = total / g.sectorsPerTrack;
    }
    if (cylinderTimesHeads >= g.heads * 1024) {
      g.sectorsPerTrack = 63;
      g.heads = kMaxHeads;
      cylinderTimesHeads = total / g.sectorsPerTrack;
    }
  }
  g.cylinders = cylinderTimesHeads / g.heads;
  return g;
}

VhdFooterBytes encodeVhdFooter(uint64_t sizeBytes, uint32_t timestamp,
                               const std::array<uint8_t, 16>& uniqueId) {
  VhdFooterBytes footer{};
  std::memcpy(&footer[kCookieAt], kCookie, 8);
  putBigEndian(&footer[kFeaturesAt], kFeatures, 4);
  putBigEndian(&footer[kVersionAt], kFormatVersion, 4);
  putBigEndian(&footer[kDataOffsetAt], kFixedDataOffset, 8);
  putBigEndian(&footer[kTimestampAt], timestamp, 4);
  std::memcpy(&footer[kCreatorAt], kCreator, 4);
  putBigEndian(&footer[kCreatorVersionAt], kCreatorVersion, 4);
  std::memcpy(&footer[kHostAt], kCreatorHost, 4);
  putBigEndian(&footer[kOriginalSizeAt], sizeBytes, 8);
  putBigEndian(&footer[kCurrentSizeAt], sizeBytes, 8);
  VhdGeometry g = vhdGeometry(sizeBytes / kSectorBytes);
  putBigEndian(&footer[kCylindersAt], g.cylinders, 2);
  footer[kHeadsAt] = static_cast<uint8_t>(g.heads);
  footer[kSectorsPerTrackAt] = static_cast<uint8_t>(g.sectorsPerTrack);
  putBigEndian(&footer[kDiskTypeAt], kFixedDiskType, 4);
  std::copy(uniqueId.begin(), uniqueId.end(), &footer[kUniqueIdAt]);
  putBigEndian(&footer[kChecksumAt], checksumOf(footer), 4);
  return footer;
}

std::optional<uint64_t> fixedVhdSize(const VhdFooterBytes& footer, uint64_t fileBytes) {
  uint64_t size = getBigEndian(&footer[kCurrentSizeAt], 8);
  bool sound = std::memcmp(&footer[kCookieAt], kCookie, 8) == 0 &&
               getBigEndian(&footer[kChecksumAt], 4) == checksumOf(footer) &&
               getBigEndian(&footer[kDiskTypeAt], 4) == kFixedDiskType &&
               fileBytes >= kVhdFooterBytes && size == fileBytes - kVhdFooterBytes;
  if (!sound) return std::nullopt;
  return size;
}

}  // namespace skarvel
