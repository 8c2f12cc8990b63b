#include "run_tool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "test_files.h"

extern char** environ;

namespace skarvel::test {

namespace {

RunResult spawn(const std::string& program, const std::string& argv0,
                const std::vector<std::string>& args, const std::string& directory,
                const std::string& input = "/dev/null") {
  ScopedTempDir capture;
  std::string outPath = capture.file("out"), errPath = capture.file("err");
  std::vector<std::string> strings = {argv0};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid;
  RunResult result;
  int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return result;
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = readText(outPath);
  result.err = readText(errPath);
  return result;
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
#ifdef SKARVEL_EMULATOR
  std::vector<std::string> emulated = {SKARVEL_BINARY};
  emulated.insert(emulated.end(), args.begin(), args.end());
  return spawn(SKARVEL_EMULATOR, SKARVEL_EMULATOR, emulated, directory, input);
#else
  return spawn(SKARVEL_BINARY, SKARVEL_BINARY, args, directory, input);
#endif
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
