// The start of the program in its process: the command line as UTF-8 text,
// and a console that shows the UTF-8 text the program prints.
#ifndef SKARVEL_PLATFORM_CONSOLE_PROGRAM_H_
#define SKARVEL_PLATFORM_CONSOLE_PROGRAM_H_

#include <string>
#include <vector>

namespace skarvel::platform {

// Lives for the whole run, made first thing in main.
//
// On POSIX the arguments are main's own (already bytes of the user's
// locale, UTF-8 in practice), the console is left alone, and SIGXFSZ is
// ignored: a write past the file size limit fails like any other. On
// Windows the arguments are read again from the process's UTF-16 command line, so that
// names outside the ANSI code page arrive whole, and an attached console's
// output code page is UTF-8 until this object goes. Redirected output is the
// program's UTF-8 bytes either way; on Windows each '\n' leaves the runtime
// as "\r\n", the platform's line end.
class ConsoleProgram {
 public:
  // |argc| and |argv| as main received them.
  ConsoleProgram(int argc, char** argv);
  ~ConsoleProgram();
  ConsoleProgram(const ConsoleProgram&) = delete;
  ConsoleProgram& operator=(const ConsoleProgram&) = delete;

  int argc() const { return static_cast<int>(arguments_.size()); }
  // The arguments as UTF-8, null-terminated; the caller may rearrange the
  // vector (the entry point does) but must not free its strings.
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> arguments_;
  std::vector<char*> pointers_;
  // The console's code page before the run, 0 when it was not changed;
  // only a Windows console is ever changed.
  [[maybe_unused]] unsigned int savedOutputCodePage_ = 0;
};

}  // namespace skarvel::platform

#endif  // SKARVEL_PLATFORM_CONSOLE_PROGRAM_H_
