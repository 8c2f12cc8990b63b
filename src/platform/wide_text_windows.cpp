// UTF-8 and UTF-16 through the system's own converters.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>

#include "platform/wide_text.h"

namespace skarvel::platform {

bool toWide(const std::string& text, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  if (text.size() > INT_MAX) return false;
  int length = static_cast<int>(text.size());
  int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  wide->resize(static_cast<size_t>(needed));
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, wide->data(),
                          needed) != needed) {
    wide->clear();
    return false;
  }
  return true;
}

std::string fromWide(const std::wstring& wide) {
  if (wide.empty() || wide.size() > INT_MAX) return std::string();
  int length = static_cast<int>(wide.size());
  int needed = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string text(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), needed, nullptr, nullptr);
  return text;
}

}  // namespace skarvel::platform
