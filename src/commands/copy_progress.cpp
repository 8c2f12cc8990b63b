#include "commands/copy_progress.h"

#include <charconv>

namespace skarvel {

namespace {

constexpr size_t kBlockBytes = 1 << 20;
// The clock is looked at every this many texts, and the buffer written when
// this much time has passed since the last write.
constexpr uint64_t kClockInterval = 1024;
constexpr auto kMaxQuiet = std::chrono::milliseconds(5);
constexpr uint64_t kNever = ~uint64_t{0};

// Adds one to a decimal number held as text.
void increment(std::string& digits) {
  for (size_t i = digits.size(); i-- > 0;) {
    if (digits[i] != '9') {
      ++digits[i];
      return;
    }
    digits[i] = '0';
  }
  digits.insert(digits.begin(), '1');
}

void appendDecimal(std::string& text, uint64_t value) {
  char digits[24];
  text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

}  // namespace

CopyProgress::CopyProgress(std::ostream& out, uint64_t total)
    : out_(out), total_(total), lastWrite_(std::chrono::steady_clock::now()) {
  buffer_.reserve(kBlockBytes + 64);
  stopped_ = !out_;
}

void CopyProgress::setPercent(uint64_t percent) {
  suffix_.clear();
  suffix_.push_back('/');
  appendDecimal(suffix_, total_);
  suffix_ += ", ";
  appendDecimal(suffix_, percent);
  suffix_ += "%\r";
  // The first count that shows percent + 1: ceil((percent + 1) * N / 100).
  // done <= N, and N counts grains of a 64-bit sector capacity, so neither
  // done * 100 nor (percent + 1) * N overflows.
  nextPercentAt_ = percent < 100 ? ((percent + 1) * total_ + 99) / 100 : kNever;
}

void CopyProgress::next() {
  ++done_;
  increment(counter_);
  if (stopped_) return;
  bool percentChanged = done_ >= nextPercentAt_;
  if (percentChanged) setPercent(done_ * 100 / total_);
  buffer_ += counter_;
  buffer_ += suffix_;
  if (percentChanged || buffer_.size() >= kBlockBytes) {
    write();
  } else if (done_ % kClockInterval == 0 &&
             std::chrono::steady_clock::now() - lastWrite_ >= kMaxQuiet) {
    write();
  }
}

void CopyProgress::finish() {
  if (stopped_) return;
  buffer_ += '\n';
  write();
}

void CopyProgress::write() {
  out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  out_.flush();
  buffer_.clear();
  lastWrite_ = std::chrono::steady_clock::now();
  if (!out_) stopped_ = true;
}

}  // namespace skarvel
