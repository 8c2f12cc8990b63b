// Reading decimal numbers out of text the way the C runtime's atoi does,
// without its undefined behaviour on overflow, and a strict form of it for
// numbers typed on the command line; rounding division for sizes.
#ifndef SKARVEL_BASE_NUMBERS_H_
#define SKARVEL_BASE_NUMBERS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skarvel {

// True for the six bytes of the C white-space set, whatever the locale.
bool isAsciiSpace(char c);

// Reads |text| by the atoi rule: leading white space, an optional sign, the
// decimal digits that follow; no digits read as 0. Returns nothing when the
// number does not fit a signed 32-bit integer.
std::optional<int32_t> readInteger(const std::string& text);

// Reads |text| as one whole number: leading white space and an optional sign
// as readInteger allows, then at least one decimal digit and nothing after
// the digits. Returns nothing for any other text ("6x", "1.5", "", "-") and
// for a number that does not fit a signed 32-bit integer.
std::optional<int32_t> readWholeInteger(const std::string& text);

// Reads |text| as an unsigned decimal number of 64 bits: one or more digits
// and nothing else (no white space, no sign). Returns nothing for any other
// text and for a number past 2^64 - 1. For sizes in package metadata.
std::optional<uint64_t> readDecimal64(std::string_view text);

// n / d rounded up, for every n (unlike (n + d - 1) / d, it cannot
// overflow). REQUIRES: d > 0.
constexpr uint64_t divideRoundingUp(uint64_t n, uint64_t d) { return n / d + (n % d != 0); }

}  // namespace skarvel

#endif  // SKARVEL_BASE_NUMBERS_H_
