// Conversions between the UTF-8 text used everywhere inside the program and
// the UTF-16 text of the Windows system calls. Windows builds only.
#ifndef SKARVEL_PLATFORM_WIDE_TEXT_H_
#define SKARVEL_PLATFORM_WIDE_TEXT_H_

#include <string>

namespace skarvel::platform {

// Converts UTF-8 |text| into |wide|. Returns false, leaving |wide| empty,
// when |text| is not valid UTF-8 (such a name cannot be a file's).
bool toWide(const std::string& text, std::wstring* wide);

// Converts UTF-16 |wide| into UTF-8. A lone surrogate, which Windows allows
// in names, becomes U+FFFD.
std::string fromWide(const std::wstring& wide);

}  // namespace skarvel::platform

#endif  // SKARVEL_PLATFORM_WIDE_TEXT_H_
