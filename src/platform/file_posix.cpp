// POSIX implementation of the file layer.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include "platform/file.h"
#include "platform/file_window.h"

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

// Locks are shared byte-range locks of the open file description
// (F_OFD_SETLK), in the layout qemu uses, so that qemu, its tools and this
// one see each other. There are four permissions: 0 consistent read,
// 1 write, 2 write of unchanged data, 3 resize. A program holds byte 100 + i
// for each permission i it uses and byte 200 + i for each one it denies to
// others, and tests that no other program holds the opposite byte.
//
// Checked against qemu 7.2 in /proc/locks: `qemu-io` on an image it may write
// holds shared locks on bytes 100, 101, 103, 201 and 203; with -r (read only)
// on 100, 201 and 203. A writer here takes the first set and a reader the
// second, and both directions were seen to conflict: this tool refuses an
// image qemu-io holds for writing, `qemu-img info` refuses one it writes
// ("Failed to get shared "write" lock"), and qemu-io refuses to open for
// writing one it reads ("Failed to get "write" lock").
//
// Locks are taken before they are tested, so that of two programs that start
// together at least one sees the other.
constexpr off_t kUseByte = 100;
constexpr off_t kDenyByte = 200;
constexpr unsigned kConsistentRead = 1u << 0, kWrite = 1u << 1, kResize = 1u << 3;
constexpr int kPermissions = 4;

struct LockBytes {
  unsigned use;
  unsigned deny;
};

// A reader reads and keeps others from changing what it reads; a writer
// writes and resizes, and keeps others from doing so, as qemu does.
LockBytes lockBytesFor(int flags) {
  if (flags & kOpenLockWrite) return {kConsistentRead | kWrite | kResize, kWrite | kResize};
  return {kConsistentRead, kWrite | kResize};
}

enum class LockResult { kHeld, kConflict, kUnsupported };

// A lock of |type| on the one byte |byte|.
struct flock oneByte(short type, off_t byte) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

LockResult lockByte(int fd, off_t byte) {
  struct flock lock = oneByte(F_RDLCK, byte);
  if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return LockResult::kHeld;
  return errno == EAGAIN || errno == EACCES ? LockResult::kConflict : LockResult::kUnsupported;
}

// True when a lock of another open file description covers |byte|.
bool heldByOthers(int fd, off_t byte) {
  struct flock lock = oneByte(F_WRLCK, byte);
  return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Returns false when another program's lock conflicts; true when the locks
// are held or the file system has none.
bool takeLocks(int fd, int flags) {
  LockBytes bytes = lockBytesFor(flags);
  for (int i = 0; i < kPermissions; ++i) {
    for (auto [mask, base] : {std::pair{bytes.use, kUseByte}, std::pair{bytes.deny, kDenyByte}}) {
      if (!(mask & (1u << i))) continue;
      LockResult result = lockByte(fd, base + i);
      if (result == LockResult::kUnsupported) return true;
      if (result == LockResult::kConflict) return false;
    }
  }
  for (int i = 0; i < kPermissions; ++i) {
    if ((bytes.use & (1u << i)) && heldByOthers(fd, kDenyByte + i)) return false;
    if ((bytes.deny & (1u << i)) && heldByOthers(fd, kUseByte + i)) return false;
  }
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
  // A file to be truncated is truncated once its locks are held.
  bool locked = (flags & (kOpenLockRead | kOpenLockWrite)) != 0;
  int openFlags = posixFlags(locked ? flags & ~kOpenTruncate : flags);
  int fd;
  do {
    fd = ::open(path.c_str(), openFlags | O_NONBLOCK, kNewFileMode);
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
  if (locked && !takeLocks(fd, flags)) {
    ::close(fd);
    return kFileInUse;
  }
  // Only a regular file has a length to cut; a device ignores the request,
  // as open's own truncation would.
  if (locked && (flags & kOpenTruncate) && S_ISREG(st.st_mode) && !setFileSize(fd, 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int64_t readFile(int fd, void* buffer, uint32_t length) {
  if (std::optional<int64_t> n = window::readOn(fd, buffer, length)) return *n;
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
  window::mapRead(fd, &offset, &length);
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
  if (offset >= 0 && window::seek(fd, static_cast<uint64_t>(offset))) return true;
  return offset >= 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == offset;
}

bool seekFile64(int fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(LLONG_MAX)) return false;
  if (window::seek(fd, offset)) return true;
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool closeFile(int fd) {
  window::remove(fd);
  return ::close(fd) == 0;
}

int standardOutput() { return ::dup(STDOUT_FILENO); }

int standardInput() { return ::dup(STDIN_FILENO); }

bool fileSizeOf(int fd, uint64_t* size) {
  if (std::optional<uint64_t> length = window::lengthOf(fd)) {
    *size = *length;
    return true;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool syncFile(int fd) { return ::fsync(fd) == 0; }

bool readableLength(int fd, uint64_t* length) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  if (!S_ISBLK(st.st_mode) || window::lengthOf(fd)) return fileSizeOf(fd, length);
  // A block device tells its size only through its end.
  off_t position = ::lseek(fd, 0, SEEK_CUR);
  off_t end = ::lseek(fd, 0, SEEK_END);
  if (position < 0 || end < 0 || ::lseek(fd, position, SEEK_SET) < 0) return false;
  *length = static_cast<uint64_t>(end);
  return true;
}

bool findData(int fd, uint64_t offset, uint64_t* begin, uint64_t* end) {
  if (window::lengthOf(fd)) return false;
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
  if (offset > static_cast<uint64_t>(LLONG_MAX)) return false;
  off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    // ENXIO: nothing but holes from |offset| to the end.
    if (errno != ENXIO) return false;
    *begin = *end = kNoDataAfter;
    return true;
  }
  off_t hole = ::lseek(fd, data, SEEK_HOLE);
  if (hole < data) return false;
  *begin = static_cast<uint64_t>(data);
  *end = static_cast<uint64_t>(hole);
  return true;
#else
  (void)fd, (void)offset, (void)begin, (void)end;
  return false;
#endif
}

bool allocatedThroughout(int fd) {
  if (window::lengthOf(fd)) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return false;
  // st_blocks counts 512-byte units.
  return static_cast<uint64_t>(st.st_blocks) >= (static_cast<uint64_t>(st.st_size) + 511) / 512;
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

bool punchHole(int fd, uint64_t offset, uint64_t length) {
  if (!writeAllowed()) return false;
  if (offset > static_cast<uint64_t>(LLONG_MAX) - length) return false;
#if defined(FALLOC_FL_PUNCH_HOLE)
  int rc;
  do {
    rc = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  // A file system without holes keeps the zeros as they are.
  return rc == 0 || errno == EOPNOTSUPP || errno == ENOSYS;
#else
  (void)fd;
  return true;
#endif
}

uint64_t copyInside(int in, uint64_t from, int out, uint64_t to, uint64_t length) {
#if defined(__linux__)
  constexpr uint64_t kLargestPosition = static_cast<uint64_t>(LLONG_MAX);
  if (window::lengthOf(in) || window::lengthOf(out)) return 0;
  if (from > kLargestPosition - length || to > kLargestPosition - length) return 0;
  if (!writeAllowed()) return 0;
  // Within what one call moves on every system, 32-bit ones included.
  constexpr uint64_t kMostPerCall = uint64_t{1} << 30;
  uint64_t done = 0;
  while (done < length) {
    auto source = static_cast<loff_t>(from + done), target = static_cast<loff_t>(to + done);
    ssize_t n = ::copy_file_range(in, &source, out, &target,
                                  static_cast<size_t>(std::min(length - done, kMostPerCall)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint64_t>(n);
  }
  return done;
#else
  (void)in, (void)from, (void)out, (void)to, (void)length;
  return 0;
#endif
}

bool copiesInside() {
#if defined(__linux__)
  return true;
#else
  return false;
#endif
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
