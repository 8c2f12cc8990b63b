#include "commands/copy_progress.h"

#include <charconv>
#include <cstring>
#include <utility>

#include "commands/json_report.h"

namespace skarvel {

namespace {

constexpr size_t kBlockBytes = 1 << 20;
// The clock is looked at every this many texts, and the buffer written when
// this much time has passed since the last write.
constexpr uint64_t kClockInterval = 1024;
constexpr auto kMaxQuiet = std::chrono::milliseconds(5);
constexpr uint64_t kNever = ~uint64_t{0};

}  // namespace

CopyProgress::CopyProgress(std::ostream& out, uint64_t total, bool json)
    : out_(out),
      total_(total),
      json_(json),
      buffer_(new char[kBlockBytes + kLineRoom]),
      lastWrite_(std::chrono::steady_clock::now()) {
  std::memset(line_, '0', kCounterEnd);
  stopped_ = !out_;
}

CopyProgress::~CopyProgress() {
  if (!stopped_ && used_ > 0) write();
}

void CopyProgress::setPercent(uint64_t percent) {
  char* end = line_ + kCounterEnd;
  char* const limit = line_ + sizeof line_;
  *end++ = '/';
  end = std::to_chars(end, limit, total_).ptr;
  *end++ = ',';
  *end++ = ' ';
  end = std::to_chars(end, limit, percent).ptr;
  *end++ = '%';
  *end++ = '\r';
  lineEnd_ = static_cast<size_t>(end - line_);
  // The first count that shows percent + 1: ceil((percent + 1) * N / 100).
  // done <= N, and N counts grains of a 64-bit sector capacity, so neither
  // done * 100 nor (percent + 1) * N overflows.
  nextPercentAt_ = percent < 100 ? ((percent + 1) * total_ + 99) / 100 : kNever;
}

void CopyProgress::next() {
  ++done_;
  // The counter's digits end at kCounterEnd; carry into as many as needed.
  size_t i = kCounterEnd;
  while (line_[--i] == '9') line_[i] = '0';
  ++line_[i];
  if (i < counterStart_) counterStart_ = i;
  if (stopped_) return;

  bool percentChanged = done_ >= nextPercentAt_;
  if (percentChanged) setPercent(done_ * 100 / total_);
  if (json_) {
    if (percentChanged || done_ == 1) writeJsonLine();
    return;
  }
  // A copy of fixed size, which the compiler does without a call; only the
  // line's own bytes count.
  std::memcpy(buffer_.get() + used_, line_ + counterStart_, kMaxLine);
  used_ += lineEnd_ - counterStart_;
  if (percentChanged || used_ >= kBlockBytes) {
    write();
  } else if (done_ % kClockInterval == 0 &&
             std::chrono::steady_clock::now() - lastWrite_ >= kMaxQuiet) {
    write();
  }
}

void CopyProgress::finish() {
  if (stopped_ || json_) return;
  buffer_[used_++] = '\n';
  write();
}

void CopyProgress::writeJsonLine() {
  out_ << Json{{"done", done_}, {"total", total_}}.dump() << '\n' << std::flush;
  if (!out_) stopped_ = true;
}

void CopyProgress::write() {
  // Emptied first: a stream that throws does not get the same text again
  // from the destructor, on the way out of the throw.
  size_t used = std::exchange(used_, 0);
  out_.write(buffer_.get(), static_cast<std::streamsize>(used));
  out_.flush();
  lastWrite_ = std::chrono::steady_clock::now();
  if (!out_) stopped_ = true;
}

}  // namespace skarvel
