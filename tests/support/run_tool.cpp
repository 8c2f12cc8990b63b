#include "run_tool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "pipe_ends.h"
#include "test_files.h"

extern char** environ;

namespace skarvel::test {

namespace {

// Where a started program's standard input and output come from and go:
// files, or the pipe ends given, which |whileRunning| then drives (it
// returns what came on standard output).
struct Streams {
  std::string input = "/dev/null";
  int inputPipe = -1;
  int outputPipe = -1;
  std::function<std::string()> whileRunning;
};

RunResult spawn(const std::string& program, const std::string& argv0,
                const std::vector<std::string>& args, const std::string& directory,
                const Streams& streams = Streams()) {
  ScopedTempDir capture;
  std::string outPath = capture.file("out"), errPath = capture.file("err");
  std::vector<std::string> strings = {argv0};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (streams.inputPipe >= 0) {
    posix_spawn_file_actions_adddup2(&actions, streams.inputPipe, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, streams.input.c_str(), O_RDONLY, 0);
  }
  if (streams.outputPipe >= 0) {
    posix_spawn_file_actions_adddup2(&actions, streams.outputPipe, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  // The program starts with SIGPIPE's default action, as from a shell,
  // whatever this process does with it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid;
  RunResult result;
  int rc = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (streams.whileRunning) result.out = streams.whileRunning();
  if (rc != 0) return result;
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (streams.outputPipe < 0) result.out = readText(outPath);
  result.err = readText(errPath);
  return result;
}

// Runs the binary under test, through the emulator where the build needs one.
RunResult spawnSkarvel(const std::vector<std::string>& args, const std::string& directory,
                       const Streams& streams) {
#ifdef SKARVEL_EMULATOR
  std::vector<std::string> emulated = {SKARVEL_BINARY};
  emulated.insert(emulated.end(), args.begin(), args.end());
  return spawn(SKARVEL_EMULATOR, SKARVEL_EMULATOR, emulated, directory, streams);
#else
  return spawn(SKARVEL_BINARY, SKARVEL_BINARY, args, directory, streams);
#endif
}

bool writeAll(int fd, const char* data, size_t size) {
  for (size_t done = 0; done < size;) {
    ssize_t moved = write(fd, data + done, size - done);
    if (moved <= 0) return false;
    done += static_cast<size_t>(moved);
  }
  return true;
}

}  // namespace

std::string skarvelBinary() { return SKARVEL_LAUNCHER; }

std::vector<std::string> skarvelCopiedTo(const std::string& directory) {
  std::string copy = directory + "/skarvel";
  std::filesystem::copy_file(SKARVEL_BINARY, copy,
                             std::filesystem::copy_options::overwrite_existing);
  chmod(copy.c_str(), 0755);
#ifdef SKARVEL_EMULATOR
  return {SKARVEL_EMULATOR, copy};
#else
  return {copy};
#endif
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& directory) {
  return spawn(program, program, args, directory);
}

RunResult runSkarvel(const std::vector<std::string>& args, const std::string& directory,
                     const std::string& argv0) {
  std::string name = argv0.empty() ? SKARVEL_BINARY : argv0;
#ifdef SKARVEL_EMULATOR
  std::vector<std::string> emulated = {"-0", name, SKARVEL_BINARY};  // -0: the argv[0] to give
  emulated.insert(emulated.end(), args.begin(), args.end());
  return spawn(SKARVEL_EMULATOR, SKARVEL_EMULATOR, emulated, directory);
#else
  return spawn(SKARVEL_BINARY, name, args, directory);
#endif
}

RunResult runSkarvelReading(const std::string& input, const std::vector<std::string>& args,
                            const std::string& directory) {
  Streams streams;
  streams.input = input;
  return spawnSkarvel(args, directory, streams);
}

RunResult runSkarvelPiped(const PipeEnds& ends, const std::vector<std::string>& args,
                          const std::string& directory) {
  // A feeder whose reader has gone sees EPIPE instead of the signal.
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return RunResult();
  if (pipe2(out, O_CLOEXEC) != 0) {
    for (int fd : in) close(fd);
    return RunResult();
  }
  Streams streams;
  streams.inputPipe = in[0];
  streams.outputPipe = out[1];
  streams.whileRunning = [&] {
    close(in[0]);
    close(out[1]);
    std::thread feeder([&] {
      feedPipe(ends, directory,
               [&](const char* data, size_t size) { return writeAll(in[1], data, size); });
      close(in[1]);
    });
    std::string bytes = drainPipe(ends, directory, [&](char* data, size_t size) {
      ssize_t got = read(out[0], data, size);
      return got > 0 ? static_cast<size_t>(got) : size_t{0};
    });
    close(out[0]);
    feeder.join();
    return bytes;
  };
  return spawnSkarvel(args, directory, streams);
}

bool havePeer(const std::string& tool) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string peerMissing(const std::string& tool) {
  return tool +
         " is not installed; install qemu-utils, libvmdk-utils, libvhdi-utils and 7zip to run this "
         "interop test";
}

}  // namespace skarvel::test
