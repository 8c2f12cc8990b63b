// Compressing grains on worker threads, handing them back in the order they
// came in.
//
// A fixed window of grains is in flight: each slot holds one grain's data
// and its compressed stream. When every slot is taken, the oldest grain is
// waited for and handed to the sink before a new one goes in, so memory
// stays at about two grains per slot whatever the disk's size. One worker
// runs per core; the thread that submits reads and writes meanwhile.
// Builds without threads (MinGW's win32 thread model) compress each grain
// as it is submitted.
#ifndef SKARVEL_WRITER_GRAIN_COMPRESSOR_H_
#define SKARVEL_WRITER_GRAIN_COMPRESSOR_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace skarvel {

class GrainCompressor {
 public:
  // Receives grain |grain| as a complete zlib stream, in submission order,
  // on the submitting thread; an empty stream when compression failed.
  using Sink = std::function<void(uint64_t grain, const std::vector<uint8_t>& stream)>;

  explicit GrainCompressor(Sink sink);
  // Lets the workers finish what they hold, then joins them; nothing more
  // reaches the sink.
  ~GrainCompressor();

  GrainCompressor(const GrainCompressor&) = delete;
  GrainCompressor& operator=(const GrainCompressor&) = delete;

  // Queues a copy of the |length| bytes at |data|, padded with zeros to a
  // whole grain. May first hand older grains to the sink; passes on what
  // the sink throws.
  void submit(uint64_t grain, const uint8_t* data, uint32_t length);
  // Hands every grain still in flight to the sink.
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_GRAIN_COMPRESSOR_H_
