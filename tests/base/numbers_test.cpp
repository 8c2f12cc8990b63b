// Numbers read from text by the atoi rule, and as one whole number.
#include "base/numbers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace skarvel {
namespace {

TEST(NumbersTest, ReadIntegerFollowsAtoi) {
  struct Case {
    std::string text;
    int32_t value;
  };
  // clang-format off
  const Case cases[] = {
      {"6", 6}, {"6x", 6}, {"007", 7}, {" \t\n\v\f\r42", 42}, {"+9", 9}, {"", 0}, {"-12abc", -12},
      {"x", 0}, {"-", 0}, {"- 5", 0}, {"x5", 0}, {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(readInteger(c.text), c.value) << '"' << c.text << '"';
  // Numbers beyond 32 bits are refused rather than wrapped (4294967302 would be 6).
  for (const char* text : {"2147483648", "-2147483649", "4294967302", "99999999999999999999999"}) {
    EXPECT_EQ(readInteger(text), std::nullopt) << text;
  }
}

TEST(NumbersTest, ReadWholeIntegerWantsNothingAfterTheDigits) {
  struct Case {
    std::string text;
    int32_t value;
  };
  const Case cases[] = {
      {"6", 6}, {" \t+9", 9}, {"-12", -12}, {"007", 7}, {"2147483647", INT32_MAX}};
  for (const Case& c : cases) EXPECT_EQ(readWholeInteger(c.text), c.value) << '"' << c.text << '"';
  for (const char* text : {"6x", "1.5", "6 ", "", " ", "-", "+", "x5", "- 5", "2147483648"}) {
    EXPECT_EQ(readWholeInteger(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(NumbersTest, ReadDecimal64TakesDigitsOnlyUpTo64Bits) {
  EXPECT_EQ(readDecimal64("0"), 0u);
  EXPECT_EQ(readDecimal64("0123"), 123u);
  EXPECT_EQ(readDecimal64("18446744073709551615"), UINT64_MAX);  // 2^64 - 1
  for (const char* text : {"18446744073709551616", "", " 1", "+1", "-1", "1 ", "1x"}) {
    EXPECT_EQ(readDecimal64(text), std::nullopt) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace skarvel
