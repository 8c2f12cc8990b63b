// Copy's progress text, in-process: the same bytes for every count (the
// counter is carried by hand, the percentage changes at worked-out counts),
// and a stream that fails ends the report without stopping the caller.
#include "commands/copy_progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace skarvel {
namespace {

TEST(CopyProgressTest, TextOfEveryCount) {
  for (uint64_t total : {1u, 3u, 7u, 99u, 100u, 101u, 999u, 1000u, 12345u, 100003u}) {
    std::string expected;
    for (uint64_t done = 1; done <= total; ++done) {
      expected += std::to_string(done) + "/" + std::to_string(total) + ", " +
                  std::to_string(done * 100 / total) + "%\r";
    }
    std::ostringstream out;
    CopyProgress progress(out, total);
    for (uint64_t i = 0; i < total; ++i) progress.next();
    progress.finish();
    EXPECT_EQ(out.str(), expected + "\n") << "total " << total;
  }
}

// A copy that fails halfway still shows how far it came: the texts gathered
// go out when the report ends without finish().
TEST(CopyProgressTest, TextGatheredGoesOutWhenCutShort) {
  std::ostringstream out;
  std::string expected;
  {
    CopyProgress progress(out, 100000);
    for (uint64_t done = 1; done <= 1500; ++done) {
      progress.next();
      expected += std::to_string(done) + "/100000, " + std::to_string(done / 1000) + "%\r";
    }
  }
  EXPECT_EQ(out.str(), expected);
}

// Takes |room| bytes, then fails every write (a pipe whose reader left).
class ClosingBuffer : public std::streambuf {
 public:
  explicit ClosingBuffer(size_t room) : room_(room) {}
  size_t taken = 0;

 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override {
    if (taken + static_cast<size_t>(n) > room_) return 0;
    taken += static_cast<size_t>(n);
    return n;
  }
  int_type overflow(int_type c) override {
    return xsputn(nullptr, 1) == 1 ? c : traits_type::eof();
  }

 private:
  size_t room_;
};

TEST(CopyProgressTest, FailedStreamEndsTheReport) {
  ClosingBuffer buffer(100);
  std::ostream out(&buffer);
  CopyProgress progress(out, 1000000);
  for (int i = 0; i < 1000000; ++i) progress.next();
  progress.finish();
  EXPECT_TRUE(out.fail());
  // The first text goes out at once (its percentage is new); the block up to
  // 1% does not fit, and nothing is written after that failure.
  EXPECT_EQ(buffer.taken, std::string("1/1000000, 0%\r").size());
}

// A stream that throws: what it refused is not written again by the report
// ending on the way out of the throw (a second throw there would end the
// program).
TEST(CopyProgressTest, StreamThatThrowsIsNotWrittenAgain) {
  ClosingBuffer buffer(0);
  std::ostream out(&buffer);
  out.exceptions(std::ios::badbit);
  EXPECT_THROW((CopyProgress(out, 10).next()), std::ios::failure);
}

}  // namespace
}  // namespace skarvel
