// POSIX implementation of the file layer.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/file.h"

namespace skarvel::platform {

namespace {

int posixFlags(int flags) {
  int result = (flags & kOpenReadWrite) ? O_RDWR : O_RDONLY;
  if (flags & kOpenCreate) result |= O_CREAT;
  if (flags & kOpenTruncate) result |= O_TRUNC;
  if (flags & kOpenExclusive) result |= O_EXCL;
  return result | O_CLOEXEC;
}

// Read and write permission for everyone, before the umask: the file is an
// ordinary document of the user's, as other disk tools make it.
constexpr mode_t kNewFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;

bool identityOf(const struct stat& st, FileIdentity* identity) {
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

// Calls |step| (one read or write of the bytes from |done| on) until
// |length| bytes have moved or a call moves none; a call cut short by a
// signal is made again. Returns the bytes moved, or -1 when a call fails.
template <typename Step>
int64_t moveAll(uint32_t length, Step step) {
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = step(done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

}  // namespace

int openFile(const std::string& path, int flags) {
  // Opened without waiting, so that a FIFO, whose open would wait for its
  // other end, can be told apart and refused; sockets do not open at all.
  int fd;
  do {
    fd = ::open(path.c_str(), posixFlags(flags) | O_NONBLOCK, kNewFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  // A directory opens for reading on POSIX but holds no image; refuse it as
  // other systems do.
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) ||
      S_ISSOCK(st.st_mode) || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int64_t readFile(int fd, void* buffer, uint32_t length) {
  auto* out = static_cast<char*>(buffer);
  return moveAll(length, [&](uint64_t done) { return ::read(fd, out + done, length - done); });
}

bool writeFile(int fd, const void* data, uint32_t length) {
  if (!writeAllowed()) return false;
  const auto* in = static_cast<const char*>(data);
  return moveAll(length, [&](uint64_t done) { return ::write(fd, in + done, length - done); }) ==
         length;
}

int64_t readFileAt(int fd, uint64_t offset, void* buffer, uint32_t length) {
  if (offset > static_cast<uint64_t>(LLONG_MAX) - length) return -1;
  auto* out = static_cast<char*>(buffer);
  return moveAll(length, [&](uint64_t done) {
    return ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
  });
}

bool writeFileAt(int fd, uint64_t offset, const void* data, uint32_t length) {
  if (!writeAllowed()) return false;
  if (offset > static_cast<uint64_t>(LLONG_MAX) - length) return false;
  const auto* in = static_cast<const char*>(data);
  return moveAll(length, [&](uint64_t done) {
           return ::pwrite(fd, in + done, length - done, static_cast<off_t>(offset + done));
         }) == length;
}

bool seekFile32(int fd, int32_t offset) {
  return offset >= 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == offset;
}

bool seekFile64(int fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(LLONG_MAX)) return false;
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool closeFile(int fd) { return ::close(fd) == 0; }

bool fileSizeOf(int fd, uint64_t* size) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool syncFile(int fd) { return ::fsync(fd) == 0; }

bool readableLength(int fd, uint64_t* length) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  if (!S_ISBLK(st.st_mode)) return fileSizeOf(fd, length);
  // A block device tells its size only through its end.
  off_t position = ::lseek(fd, 0, SEEK_CUR);
  off_t end = ::lseek(fd, 0, SEEK_END);
  if (position < 0 || end < 0 || ::lseek(fd, position, SEEK_SET) < 0) return false;
  *length = static_cast<uint64_t>(end);
  return true;
}

bool isCharacterDevice(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
}

bool setFileSize(int fd, uint64_t size) {
  if (!writeAllowed()) return false;
  if (size > static_cast<uint64_t>(LLONG_MAX)) return false;
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool identityOfPath(const std::string& path, FileIdentity* identity) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && identityOf(st, identity);
}

bool identityOfDescriptor(int fd, FileIdentity* identity) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && identityOf(st, identity);
}

bool copyPermissions(int from, int to) {
  struct stat st;
  return ::fstat(from, &st) == 0 && ::fchmod(to, st.st_mode & 07777) == 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::string resolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

std::string currentDirectory() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

void raiseOpenFileLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

void ignoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

uint32_t processId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace skarvel::platform
