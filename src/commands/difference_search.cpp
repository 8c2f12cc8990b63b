#include "commands/difference_search.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/fatal_error.h"
#include "format/units.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/open_image.h"

namespace skarvel {

namespace {

constexpr int kReadLocked =
    platform::kOpenBinary | platform::kOpenReadOnly | platform::kOpenLockRead;

// Grains per slice (4 MiB of disk): few enough that the cores share a disk
// evenly and a worker that goes on past a difference found meanwhile wastes
// little, many enough that claiming a slice costs nothing beside reading it.
constexpr uint64_t kSliceGrains = 64;
constexpr uint64_t kNoSlice = std::numeric_limits<uint64_t>::max();
// Workers at most, whatever the core count: each holds both inputs open.
constexpr uint64_t kMostWorkers = 8;

// One input as the disk it shows: a raw disk, or an image over all of its
// parents.
struct Input {
  std::unique_ptr<VMDKReader> reader;
  uint64_t bytes = 0;
  std::vector<uint8_t> grain;
  uint64_t dataFrom = 0;  // grains before it read as zeros

  explicit Input(const CompareInput& input)
      : reader(input.raw ? openRawImage(input.path, kReadLocked, input.vhd)
                         : openWithParents(input.path, kReadLocked, kReadLocked)),
        bytes(reader->capacity() * kSectorBytes),
        grain(kGrainBytes) {}

  // Fills |grain| with grain |index| as the disk shows it, zeros past the
  // disk's end included. Returns false, leaving |grain| alone, when the
  // whole grain reads as zeros without a read of data. Indexes come in
  // increasing order.
  bool load(uint64_t index) {
    uint64_t start = index * kGrainBytes;
    if (start >= bytes) return false;
    // What the reader knows to read as zeros (holes of a raw disk) is passed
    // by unread.
    if (index >= dataFrom) dataFrom = reader->nextGrainWithData(index);
    if (index < dataFrom) return false;
    uint32_t n = reader->readGrain(index, grain.data(), static_cast<uint32_t>(kGrainBytes));
    if (n == 0 || n == kZeroedGrain) return false;
    // A grain stored whole may hold bytes past the disk's end: they are not
    // part of what it shows.
    uint64_t shown = std::min<uint64_t>(n, bytes - start);
    std::fill(grain.begin() + static_cast<ptrdiff_t>(shown), grain.end(), 0);
    return true;
  }
};

const std::vector<uint8_t>& zeros() {
  static const std::vector<uint8_t> grain(kGrainBytes, 0);
  return grain;
}

// One worker's own inputs, opened first then second as a single pass would.
struct InputPair {
  Input first;
  Input second;

  InputPair(const CompareInput& a, const CompareInput& b) : first(a), second(b) {}

  // The offset of the first byte that differs in grains [from, to), or
  // nothing. The grains of each call come after those of earlier calls.
  std::optional<uint64_t> firstDifferenceIn(uint64_t from, uint64_t to) {
    for (uint64_t i = from; i < to; ++i) {
      bool firstHolds = first.load(i), secondHolds = second.load(i);
      if (!firstHolds && !secondHolds) continue;
      const std::vector<uint8_t>& a = firstHolds ? first.grain : zeros();
      const std::vector<uint8_t>& b = secondHolds ? second.grain : zeros();
      // memcmp passes equal grains by far faster than a byte loop; only a
      // grain known to differ is searched byte by byte.
      if (std::memcmp(a.data(), b.data(), kGrainBytes) == 0) continue;
      auto [at, unused] = std::mismatch(a.begin(), a.end(), b.begin());
      return i * kGrainBytes + static_cast<uint64_t>(at - a.begin());
    }
    return std::nullopt;
  }
};

// The slices of a disk of |grains| grains, handed out in order to the
// workers, and the finding of the earliest slice that has one so far.
class SliceSearch {
 public:
  explicit SliceSearch(uint64_t grains)
      : grains_(grains), slices_((grains + kSliceGrains - 1) / kSliceGrains) {}

  uint64_t slices() const { return slices_; }

  // Compares slice after slice through |pair| until none is left, one has
  // a finding, or the next lies past an earlier slice's finding: every
  // slice before the earliest finding is then compared whole.
  void run(InputPair& pair) {
    for (uint64_t slice = next_++; slice < slices_ && slice < earliest_; slice = next_++) {
      if (compareSlice(pair, slice)) return;
    }
  }

  // The earliest slice's finding: its difference, or its error thrown again.
  std::optional<uint64_t> result() const {
    if (error_) std::rethrow_exception(error_);
    return difference_;
  }

 private:
  // Compares |slice| through |pair|; on a difference or an error records
  // it and returns true.
  bool compareSlice(InputPair& pair, uint64_t slice) {
    uint64_t from = slice * kSliceGrains, to = std::min(grains_, from + kSliceGrains);
    try {
      std::optional<uint64_t> difference = pair.firstDifferenceIn(from, to);
      if (!difference) return false;
      record(slice, difference, nullptr);
    } catch (...) {
      record(slice, std::nullopt, std::current_exception());
    }
    return true;
  }

  void record(uint64_t slice, std::optional<uint64_t> difference, std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (slice > earliest_) return;
    earliest_ = slice;
    difference_ = difference;
    error_ = std::move(error);
  }

  const uint64_t grains_;
  const uint64_t slices_;
  std::atomic<uint64_t> next_{0};
  std::atomic<uint64_t> earliest_{kNoSlice};
  std::mutex mutex_;  // guards the finding
  std::optional<uint64_t> difference_;
  std::exception_ptr error_;
};

// Runs |search| on every pair at once, the first on this thread. A worker
// that cannot be started leaves its slices to the others.
void runWorkers(SliceSearch& search, const std::vector<std::unique_ptr<InputPair>>& pairs) {
  std::vector<std::jthread> workers;
  for (size_t i = 1; i < pairs.size(); ++i) {
    try {
      workers.emplace_back([&search, pair = pairs[i].get()] { search.run(*pair); });
    } catch (const std::system_error&) {
      break;
    }
  }
  search.run(*pairs.front());
}

}  // namespace

CompareOutcome findFirstDifference(const CompareInput& first, const CompareInput& second) {
  std::vector<std::unique_ptr<InputPair>> pairs;
  pairs.push_back(std::make_unique<InputPair>(first, second));
  CompareOutcome outcome{pairs.front()->first.bytes, pairs.front()->second.bytes, std::nullopt};
  uint64_t longer = std::max(outcome.firstBytes, outcome.secondBytes);
  SliceSearch search((longer + kGrainBytes - 1) / kGrainBytes);
  uint64_t cores = std::clamp<uint64_t>(std::thread::hardware_concurrency(), 1, kMostWorkers);
  while (pairs.size() < std::min(cores, search.slices())) {
    // Each pair holds every file of both inputs open: where the system
    // allows no more (a split image of thousands of extents), fewer workers
    // do the work.
    try {
      pairs.push_back(std::make_unique<InputPair>(first, second));
    } catch (const FatalError&) {
      break;
    }
  }
  runWorkers(search, pairs);
  outcome.difference = search.result();
  return outcome;
}

}  // namespace skarvel
