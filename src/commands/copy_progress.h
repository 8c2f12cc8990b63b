// The progress report of copy.
//
// Before grain index i of N, copy shows "i+1/N, p%" and a carriage return,
// p being (i + 1) * 100 / N truncated, so that on a terminal each text
// overwrites the last. The text is the same for every index whatever the
// size of the image, which makes it long (about 1.6 GB for a 4 TiB disk), so
// it is formatted by hand into a large buffer (the counter is incremented in
// its decimal form, in place in a template of the text) and written in large
// blocks. A terminal still sees it move: the buffer goes out whenever the
// percentage changes and at least every few milliseconds in between.
//
// For programs (--json) the report is instead one JSON object per line,
// {"done": i+1, "total": N}, for the first index and whenever the
// percentage changes: at most 101 lines.
//
// A stream that fails (a closed pipe) ends the report at its first failed
// write; the work goes on without it.
#ifndef SKARVEL_COMMANDS_COPY_PROGRESS_H_
#define SKARVEL_COMMANDS_COPY_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>

namespace skarvel {

class CopyProgress {
 public:
  // Reports on |out| (not owned; it must outlive this object) for |total|
  // grains, as text or, with |json|, as JSON lines.
  CopyProgress(std::ostream& out, uint64_t total, bool json = false);
  // Writes what is gathered and not yet written (a copy that ends in a
  // failure still shows how far it came), without ending the line.
  ~CopyProgress();

  // Adds the text before the next grain index: the first call shows 1/N,
  // the last N/N. REQUIRES: called at most |total| times.
  void next();

  // Writes what is gathered and ends the line with "\n".
  void finish();

 private:
  void setPercent(uint64_t percent);
  void write();
  void writeJsonLine();

  // The text of the current count: its digits right-aligned to end at
  // kCounterEnd (20 digits hold any 64-bit count; the leading ones are '0'
  // and not shown), then "/N, p%\r". The longest text is 20 + 1 + 20 + 2 +
  // 3 + 2 = 48 bytes.
  static constexpr size_t kCounterEnd = 20;
  static constexpr size_t kMaxLine = 48;
  static constexpr size_t kLineRoom = 2 * kMaxLine;
  char line_[kLineRoom] = {};
  size_t counterStart_ = kCounterEnd - 1;
  size_t lineEnd_ = kCounterEnd;

  std::ostream& out_;
  uint64_t total_;
  bool json_;
  uint64_t done_ = 0;
  uint64_t nextPercentAt_ = 0;
  // The texts gathered since the last write, with room for one more line
  // copied whole.
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  bool stopped_ = false;
  std::chrono::steady_clock::time_point lastWrite_;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COPY_PROGRESS_H_
