#include "writer/grain_compressor.h"

#include <algorithm>
#include <cstring>

#include "format/grain_deflater.h"
#include "format/units.h"

// libstdc++ has std::thread only where it has a thread layer; MinGW's win32
// thread model of GCC 12 has none.
#if !defined(__GLIBCXX__) || defined(_GLIBCXX_HAS_GTHREADS)
#define SKARVEL_COMPRESS_ON_WORKERS 1
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace skarvel {

namespace {

// Grains in flight per worker: enough that a worker never waits for the
// writing thread, few enough to keep memory small (4 MiB for two workers).
constexpr unsigned kSlotsPerWorker = 16;

struct Slot {
  uint64_t grain = 0;
  std::vector<uint8_t> data;
  std::vector<uint8_t> stream;
  bool done = false;
};

void padToGrain(std::vector<uint8_t>& buffer, const uint8_t* data, uint32_t length) {
  uint32_t stored = std::min<uint32_t>(length, static_cast<uint32_t>(kGrainBytes));
  buffer.resize(kGrainBytes);
  std::memcpy(buffer.data(), data, stored);
  std::memset(buffer.data() + stored, 0, kGrainBytes - stored);
}

}  // namespace

#ifdef SKARVEL_COMPRESS_ON_WORKERS

struct GrainCompressor::State {
  Sink sink;
  std::vector<Slot> slots;
  std::vector<std::thread> workers;
  std::mutex mutex;
  std::condition_variable work;      // a grain was submitted, or stop
  std::condition_variable finished;  // a grain was compressed
  uint64_t submitted = 0;            // grains handed to submit
  uint64_t taken = 0;                // grains a worker has started
  uint64_t delivered = 0;            // grains handed to the sink
  bool stopping = false;

  Slot& slot(uint64_t sequence) { return slots[sequence % slots.size()]; }

  void runWorker() {
    GrainDeflater deflater;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      work.wait(lock, [this] { return stopping || taken < submitted; });
      if (taken == submitted) return;  // stopping, with nothing left
      Slot& s = slot(taken++);
      lock.unlock();
      deflater.deflate(s.data.data(), static_cast<uint32_t>(s.data.size()), s.stream);
      lock.lock();
      s.done = true;
      finished.notify_all();
    }
  }

  void deliverOldest() {
    Slot& s = slot(delivered);
    {
      std::unique_lock<std::mutex> lock(mutex);
      finished.wait(lock, [&s] { return s.done; });
    }
    sink(s.grain, s.stream);
    ++delivered;
  }
};

GrainCompressor::GrainCompressor(Sink sink) : state_(std::make_unique<State>()) {
  state_->sink = std::move(sink);
  unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  state_->slots.resize(workers * kSlotsPerWorker);
  for (unsigned i = 0; i < workers; ++i) {
    state_->workers.emplace_back([state = state_.get()] { state->runWorker(); });
  }
}

GrainCompressor::~GrainCompressor() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->work.notify_all();
  for (std::thread& worker : state_->workers) worker.join();
}

void GrainCompressor::submit(uint64_t grain, const uint8_t* data, uint32_t length) {
  State& s = *state_;
  if (s.submitted - s.delivered == s.slots.size()) s.deliverOldest();
  Slot& slot = s.slot(s.submitted);
  slot.grain = grain;
  slot.done = false;
  padToGrain(slot.data, data, length);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.submitted;
  }
  s.work.notify_one();
}

void GrainCompressor::finish() {
  while (state_->delivered < state_->submitted) state_->deliverOldest();
}

#else

struct GrainCompressor::State {
  Sink sink;
  Slot slot;
  GrainDeflater deflater;
};

GrainCompressor::GrainCompressor(Sink sink) : state_(std::make_unique<State>()) {
  state_->sink = std::move(sink);
}

GrainCompressor::~GrainCompressor() = default;

void GrainCompressor::submit(uint64_t grain, const uint8_t* data, uint32_t length) {
  Slot& slot = state_->slot;
  padToGrain(slot.data, data, length);
  state_->deflater.deflate(slot.data.data(), static_cast<uint32_t>(slot.data.size()), slot.stream);
  state_->sink(grain, slot.stream);
}

void GrainCompressor::finish() {}

#endif

}  // namespace skarvel
