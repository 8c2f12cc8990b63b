// Windows start-up: the UTF-16 command line, and UTF-8 on the console.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "platform/console_program.h"
#include "platform/wide_text.h"

namespace skarvel::platform {

namespace {

// True when the standard stream |which| (STD_OUTPUT_HANDLE, ...) is a
// console rather than a file or a pipe.
bool isConsole(DWORD which) {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

ConsoleProgram::ConsoleProgram(int argc, char** argv) {
  // The runtime built |argv| through the ANSI code page, which loses every
  // character outside it; the system keeps the command line in UTF-16.
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    for (int i = 0; i < count; ++i) arguments_.push_back(fromWide(wide[i]));
    LocalFree(wide);
  } else {
    arguments_.assign(argv, argv + argc);
  }
  for (std::string& argument : arguments_) pointers_.push_back(argument.data());
  pointers_.push_back(nullptr);

  // A console shows the bytes it is given in its output code page; the
  // program prints UTF-8. The old page comes back at the end, since the
  // console belongs to the shell that started the program.
  if (isConsole(STD_OUTPUT_HANDLE) || isConsole(STD_ERROR_HANDLE)) {
    UINT old = GetConsoleOutputCP();
    if (old != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) savedOutputCodePage_ = old;
  }
}

ConsoleProgram::~ConsoleProgram() {
  if (savedOutputCodePage_ != 0) SetConsoleOutputCP(savedOutputCodePage_);
}

}  // namespace skarvel::platform
