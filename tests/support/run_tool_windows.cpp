// Running programs from the Windows build of the tests.
//
// skarvel.exe runs as a Windows process, and its output comes back with the
// runtime's "\r\n" line ends turned into '\n', so that tests compare it with
// the same text as on POSIX (runProgram gives the raw bytes). The interop
// peers are Linux programs: under Wine, a Windows process can start a Unix
// program, but gets no handle to wait on and no exit status, and the
// program's standard error is not redirected. So a peer runs inside
// /bin/sh, which redirects its streams to files and writes its exit status
// to a last file, whose appearance says that the peer has ended. On Windows
// proper there are no peers.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <thread>

#include "pipe_ends.h"
#include "platform/wide_text.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {

namespace {

// Wine's own kernel32 functions between its Unix and Windows names; both
// return memory to free with HeapFree.
using WineNameConverter = char* (*)(const wchar_t*);
using WineDosNameConverter = wchar_t* (*)(const char*);

HMODULE kernel32() { return GetModuleHandleW(L"kernel32.dll"); }

WineNameConverter wineUnixName() {
  return reinterpret_cast<WineNameConverter>(
      reinterpret_cast<void*>(GetProcAddress(kernel32(), "wine_get_unix_file_name")));
}

WineDosNameConverter wineDosName() {
  return reinterpret_cast<WineDosNameConverter>(
      reinterpret_cast<void*>(GetProcAddress(kernel32(), "wine_get_dos_file_name")));
}

bool underWine() { return wineUnixName() != nullptr && wineDosName() != nullptr; }

std::wstring wide(const std::string& text) {
  std::wstring result;
  if (!platform::toWide(text, &result)) throw std::runtime_error("not UTF-8: " + text);
  return result;
}

// The Unix name Wine gives a Windows path.
std::string unixName(const std::string& path) {
  char* name = wineUnixName()(wide(path).c_str());
  if (name == nullptr) throw std::runtime_error("no Unix name for " + path);
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// The Windows name of a Unix path such as the build's SKARVEL_BINARY.
std::string dosName(const std::string& path) {
  wchar_t* name = wineDosName()(path.c_str());
  if (name == nullptr) throw std::runtime_error("no Windows name for " + path);
  std::string result = platform::fromWide(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Quotes |argument| so that the runtime's command-line parser (and Wine's,
// for a Unix program) gives it back unchanged: backslashes count only
// before a quote.
std::wstring quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring result = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    result.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    result += c;
  }
  result.append(2 * backslashes, L'\\');
  return result + L'"';
}

HANDLE inheritableFile(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileW(wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts |application| with the command line |words| in |directory|, the
// standard streams on NUL, |outPath| and |errPath|, or on |input| and
// |output| when given. Returns the process's handle, or nullptr when no
// process was made or, for a Unix program under Wine, none can be waited for.
HANDLE start(const std::string& application, const std::vector<std::string>& words,
             const std::string& directory, const std::string& outPath, const std::string& errPath,
             HANDLE input = nullptr, HANDLE output = nullptr) {
  std::wstring commandLine;
  for (const std::string& word : words) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += quoted(wide(word));
  }
  HANDLE in = input != nullptr ? input : inheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = output != nullptr ? output : inheritableFile(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = inheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  BOOL started = CreateProcessW(wide(application).c_str(), commandLine.data(), nullptr, nullptr,
                                TRUE, 0, nullptr, wide(directory).c_str(), &startup, &process);
  CloseHandle(err);
  if (output == nullptr) CloseHandle(out);
  if (input == nullptr) CloseHandle(in);
  if (!started) return nullptr;
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  return process.hProcess;
}

// An exit status as on POSIX: -1 for a process that a fault ended (the
// status is then an NTSTATUS error such as 0xC0000005).
int statusOf(DWORD code) { return code >= 0xC0000000u ? -1 : static_cast<int>(code); }

// "a\r\nb\r\n" gives "a\nb\n": the runtime's text mode undone. A '\r' that
// the program wrote itself (copy's progress) stays.
std::string withoutCarriageReturns(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) result += text[i];
  }
  return result;
}

bool endsWithExe(const std::string& program) {
  return program.size() > 4 && _stricmp(program.c_str() + program.size() - 4, ".exe") == 0;
}

// A pipe whose ends a child may inherit, all but |ours|.
bool inheritablePipe(HANDLE* readEnd, HANDLE* writeEnd, HANDLE* ours) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreatePipe(readEnd, writeEnd, &inherit, 0) &&
         SetHandleInformation(*ours, HANDLE_FLAG_INHERIT, 0);
}

// Runs |program|. With |output| (a pipe's write end, closed here once the
// program has it), |whileRunning| drives the pipes while the program runs
// and returns what came on standard output.
RunResult runWindowsProgram(const std::string& program, const std::string& argv0,
                            const std::vector<std::string>& args, const std::string& directory,
                            HANDLE input = nullptr, HANDLE output = nullptr,
                            const std::function<std::string()>& whileRunning = nullptr) {
  ScopedTempDir capture;
  std::vector<std::string> words = {argv0};
  words.insert(words.end(), args.begin(), args.end());
  RunResult result;
  HANDLE process =
      start(program, words, directory, capture.file("out"), capture.file("err"), input, output);
  if (output != nullptr) CloseHandle(output);
  if (whileRunning) result.out = whileRunning();
  if (process == nullptr) return result;
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(process, &code)) result.status = statusOf(code);
  CloseHandle(process);
  if (output == nullptr) result.out = readText(capture.file("out"));
  result.err = readText(capture.file("err"));
  return result;
}

// Arguments that are absolute Windows paths ("C:\..." or "C:/...") become
// Unix names; relative ones hold, since the peer starts in |directory|.
std::string forUnix(const std::string& argument) {
  bool drivePath =
      argument.size() > 2 && argument[1] == ':' && (argument[2] == '\\' || argument[2] == '/');
  return drivePath ? unixName(argument) : argument;
}

RunResult runUnixProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& directory) {
  RunResult result;
  if (!underWine()) return result;
  ScopedTempDir capture;
  std::string statusPath = capture.file("status");
  // sh -c SCRIPT peer OUT ERR STATUS PROGRAM ARGS...
  const std::string script =
      "o=$1 e=$2 s=$3; shift 3; \"$@\" </dev/null >\"$o\" 2>\"$e\"; "
      "echo $? >\"$s.part\"; mv \"$s.part\" \"$s\"";
  std::vector<std::string> words = {"sh",
                                    "-c",
                                    script,
                                    "peer",
                                    unixName(capture.file("out")),
                                    unixName(capture.file("err")),
                                    unixName(statusPath),
                                    program};
  for (const std::string& a : args) words.push_back(forUnix(a));
  HANDLE none =
      start(dosName("/bin/sh"), words, directory, capture.file("sh-out"), capture.file("sh-err"));
  if (none != nullptr) CloseHandle(none);
  // Bounded, so that a peer that never ends fails the test instead of
  // hanging the suite.
  constexpr int kPollMilliseconds = 5, kLimitMilliseconds = 10 * 60 * 1000;
  for (int waited = 0; !fileExists(statusPath); waited += kPollMilliseconds) {
    if (waited >= kLimitMilliseconds) return result;
    Sleep(kPollMilliseconds);
  }
  result.status = std::atoi(readText(statusPath).c_str());
  result.out = readText(capture.file("out"));
  result.err = readText(capture.file("err"));
  return result;
}

}  // namespace

std::string skarvelBinary() {
  std::string binary = SKARVEL_BINARY;
  // A cross build names the binary by its Unix path.
  return binary.starts_with("/") && underWine() ? dosName(binary) : binary;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& directory) {
  if (endsWithExe(program)) return runWindowsProgram(program, program, args, directory);
  return runUnixProgram(program, args, directory);
}

RunResult runSkarvel(const std::vector<std::string>& args, const std::string& directory,
                     const std::string& argv0) {
  std::string binary = skarvelBinary();
  RunResult result = runWindowsProgram(binary, argv0.empty() ? binary : argv0, args, directory);
  result.out = withoutCarriageReturns(result.out);
  result.err = withoutCarriageReturns(result.err);
  return result;
}

RunResult runSkarvelReading(const std::string& input, const std::vector<std::string>& args,
                            const std::string& directory) {
  // A pipe, as a shell's | gives it, fed from the file.
  return runSkarvelPiped({.input = input}, args, directory);
}

RunResult runSkarvelPiped(const PipeEnds& ends, const std::vector<std::string>& args,
                          const std::string& directory) {
  HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
  if (!inheritablePipe(&inRead, &inWrite, &inWrite)) return RunResult();
  if (!inheritablePipe(&outRead, &outWrite, &outRead)) {
    for (HANDLE h : {inRead, inWrite}) CloseHandle(h);
    return RunResult();
  }
  std::thread feeder([&] {
    feedPipe(ends, directory, [&](const char* data, size_t size) {
      DWORD written = 0;
      return WriteFile(inWrite, data, static_cast<DWORD>(size), &written, nullptr) &&
             written == size;
    });
    CloseHandle(inWrite);
  });
  std::string binary = skarvelBinary();
  RunResult result = runWindowsProgram(binary, binary, args, directory, inRead, outWrite, [&] {
    CloseHandle(inRead);
    std::string bytes = drainPipe(ends, directory, [&](char* data, size_t size) {
      DWORD got = 0;
      return ReadFile(outRead, data, static_cast<DWORD>(size), &got, nullptr)
                 ? static_cast<size_t>(got)
                 : size_t{0};
    });
    CloseHandle(outRead);
    return bytes;
  });
  feeder.join();
  result.out = withoutCarriageReturns(result.out);
  result.err = withoutCarriageReturns(result.err);
  return result;
}

bool havePeer(const std::string& tool) {
  static std::map<std::string, bool> found;
  auto known = found.find(tool);
  if (known != found.end()) return known->second;
  bool present =
      underWine() &&
      runUnixProgram("sh", {"-c", "command -v \"$0\"", tool}, ScopedTempDir().path()).status == 0;
  found[tool] = present;
  return present;
}

std::string peerMissing(const std::string& tool) {
  return tool +
         " is not installed; install qemu-utils, libvmdk-utils, libvhdi-utils and 7zip to run this "
         "interop test" +
         (underWine() ? ""
                      : " (the peers are Linux programs, run only when the tests run under Wine)");
}

}  // namespace skarvel::test
