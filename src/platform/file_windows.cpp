// Windows implementation of the file layer: Win32 file handles on UTF-16
// paths, with 64-bit positions. The descriptors handed out are indexes into a
// table of handles kept here, which grows as needed, so the number of open
// files is bounded only by the system (the C runtime's own table of
// descriptors holds 2048). Locks are share modes. Paths arrive as UTF-8 and
// are converted at each call.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/file.h"
#include "platform/file_window.h"
#include "platform/wide_text.h"

namespace skarvel::platform {

namespace {

// The open handles; a descriptor is an index, a closed one's slot holds
// INVALID_HANDLE_VALUE until an open reuses it.
class HandleTable {
 public:
  int add(HANDLE handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (free_.empty()) {
      handles_.push_back(handle);
      return static_cast<int>(handles_.size() - 1);
    }
    int fd = free_.back();
    free_.pop_back();
    handles_[static_cast<size_t>(fd)] = handle;
    return fd;
  }

  HANDLE get(int fd) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd < 0 || static_cast<size_t>(fd) >= handles_.size()) return INVALID_HANDLE_VALUE;
    return handles_[static_cast<size_t>(fd)];
  }

  // Takes the handle out of the table; INVALID_HANDLE_VALUE when |fd| is
  // not open.
  HANDLE remove(int fd) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd < 0 || static_cast<size_t>(fd) >= handles_.size()) return INVALID_HANDLE_VALUE;
    HANDLE handle = handles_[static_cast<size_t>(fd)];
    if (handle == INVALID_HANDLE_VALUE) return handle;
    handles_[static_cast<size_t>(fd)] = INVALID_HANDLE_VALUE;
    free_.push_back(fd);
    return handle;
  }

 private:
  std::mutex mutex_;
  std::vector<HANDLE> handles_;
  std::vector<int> free_;
};

HandleTable& handleTable() {
  static HandleTable table;
  return table;
}

HANDLE systemHandle(int fd) { return handleTable().get(fd); }

// The sharing a lock leaves to others: reading only. A writer's handle also
// keeps out every open that does not share writing, which is every locked
// one, so a locked reader is refused as a second writer is; an open without a
// lock (info) shares writing and may read.
DWORD shareModeFor(int flags) {
  if (flags & (kOpenLockRead | kOpenLockWrite)) return FILE_SHARE_READ;
  return FILE_SHARE_READ | FILE_SHARE_WRITE;
}

DWORD dispositionFor(int flags) {
  if (flags & kOpenCreate) {
    if (flags & kOpenExclusive) return CREATE_NEW;
    return (flags & kOpenTruncate) ? CREATE_ALWAYS : OPEN_ALWAYS;
  }
  return (flags & kOpenTruncate) ? TRUNCATE_EXISTING : OPEN_EXISTING;
}

// Calls |step| (one ReadFile or WriteFile of the bytes from |done| on, which
// sets the count it moved) until |length| bytes have moved or a call moves
// none. Returns the bytes moved, or -1 when a call fails.
template <typename Step>
int64_t moveAll(uint32_t length, Step step) {
  uint32_t done = 0;
  while (done < length) {
    DWORD moved = 0;
    if (!step(done, &moved)) {
      // A pipe whose writer has closed it ends like a file.
      DWORD error = GetLastError();
      return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE ? int64_t{done} : -1;
    }
    if (moved == 0) break;
    done += moved;
  }
  return done;
}

// An OVERLAPPED that places a transfer of a handle opened for ordinary,
// waiting I/O at byte |offset|.
OVERLAPPED at(uint64_t offset) {
  OVERLAPPED position = {};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

// Attributes that SetFileInformationByHandle accepts back; others (sparse,
// compressed, encrypted, directory) are the file system's to set.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_TEMPORARY;

bool informationOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, info);
}

// A file is one volume's serial number and the file's index on that volume,
// whatever name, case or link reached it.
bool identityOfHandle(HANDLE handle, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!informationOf(handle, &info)) return false;
  identity->device = info.dwVolumeSerialNumber;
  identity->inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

// Opens what |path| names (a link followed, a directory too) for questions
// only: no read or write access and every kind of sharing, so that no other
// user of the file is disturbed. INVALID_HANDLE_VALUE when it cannot.
HANDLE openForQuery(const std::string& path) {
  std::wstring wide;
  if (!toWide(path, &wide) || wide.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool isDirectory(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(handle) == FILE_TYPE_DISK && informationOf(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Windows opens no read-only file for writing, whoever asks; Wine run by
// root would, so the layer looks at the attribute itself as well.
bool isReadOnly(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Asks the file system to keep unwritten ranges of a new file unallocated.
// File systems without sparse files (FAT) refuse, and the file stays dense.
void markSparse(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_DISK) return;
  DWORD returned = 0;
  DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
}

// "\\?\C:\dir" gives "C:\dir" and "\\?\UNC\server\share" gives
// "\\server\share": the long-name prefix that GetFinalPathNameByHandle adds
// is not part of the name a user types.
std::wstring withoutLongNamePrefix(const std::wstring& path) {
  const std::wstring kUnc = L"\\\\?\\UNC\\", kLong = L"\\\\?\\";
  if (path.compare(0, kUnc.size(), kUnc) == 0) return L"\\\\" + path.substr(kUnc.size());
  if (path.compare(0, kLong.size(), kLong) == 0) return path.substr(kLong.size());
  return path;
}

}  // namespace

int openFile(const std::string& path, int flags) {
  // Windows has no FIFOs in the file system, and a named pipe opens at once
  // or not at all, so no open here waits for a peer.
  std::wstring wide;
  if (!toWide(path, &wide) || wide.empty()) return -1;
  if ((flags & kOpenReadWrite) && isReadOnly(wide)) return -1;
  DWORD access = GENERIC_READ | ((flags & kOpenReadWrite) ? GENERIC_WRITE : 0);
  // No security attributes: the handle stays out of child processes.
  HANDLE handle = CreateFileW(wide.c_str(), access, shareModeFor(flags), nullptr,
                              dispositionFor(flags), FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? kFileInUse : -1;
  }
  if (isDirectory(handle)) {
    CloseHandle(handle);
    return -1;
  }
  if (flags & kOpenCreate) markSparse(handle);
  return handleTable().add(handle);
}

int64_t readFile(int fd, void* buffer, uint32_t length) {
  if (std::optional<int64_t> n = window::readOn(fd, buffer, length)) return *n;
  HANDLE handle = systemHandle(fd);
  auto* out = static_cast<char*>(buffer);
  return moveAll(length, [&](uint32_t done, DWORD* moved) {
    return ReadFile(handle, out + done, length - done, moved, nullptr);
  });
}

bool writeFile(int fd, const void* data, uint32_t length) {
  if (!writeAllowed()) return false;
  HANDLE handle = systemHandle(fd);
  const auto* in = static_cast<const char*>(data);
  return moveAll(length, [&](uint32_t done, DWORD* moved) {
           return WriteFile(handle, in + done, length - done, moved, nullptr);
         }) == length;
}

int64_t readFileAt(int fd, uint64_t offset, void* buffer, uint32_t length) {
  window::mapRead(fd, &offset, &length);
  if (offset > static_cast<uint64_t>(INT64_MAX) - length) return -1;
  HANDLE handle = systemHandle(fd);
  auto* out = static_cast<char*>(buffer);
  return moveAll(length, [&](uint32_t done, DWORD* moved) {
    OVERLAPPED position = at(offset + done);
    return ReadFile(handle, out + done, length - done, moved, &position);
  });
}

bool writeFileAt(int fd, uint64_t offset, const void* data, uint32_t length) {
  if (!writeAllowed()) return false;
  if (offset > static_cast<uint64_t>(INT64_MAX) - length) return false;
  HANDLE handle = systemHandle(fd);
  const auto* in = static_cast<const char*>(data);
  return moveAll(length, [&](uint32_t done, DWORD* moved) {
           OVERLAPPED position = at(offset + done);
           return WriteFile(handle, in + done, length - done, moved, &position);
         }) == length;
}

bool seekFile32(int fd, int32_t offset) { return offset >= 0 && seekFile64(fd, offset); }

bool seekFile64(int fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (window::seek(fd, offset)) return true;
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(systemHandle(fd), position, nullptr, FILE_BEGIN) != 0;
}

bool closeFile(int fd) {
  window::remove(fd);
  HANDLE handle = handleTable().remove(fd);
  return handle != INVALID_HANDLE_VALUE && CloseHandle(handle);
}

namespace {

// A handle of its own for a standard handle, so that closing it leaves the
// process's alone.
int duplicateStandardHandle(DWORD which) {
  HANDLE process = GetCurrentProcess(), handle;
  HANDLE standard = GetStdHandle(which);
  if (standard == nullptr || standard == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(process, standard, process, &handle, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return -1;
  }
  return handleTable().add(handle);
}

}  // namespace

int standardOutput() { return duplicateStandardHandle(STD_OUTPUT_HANDLE); }

int standardInput() { return duplicateStandardHandle(STD_INPUT_HANDLE); }

bool fileSizeOf(int fd, uint64_t* size) {
  if (std::optional<uint64_t> windowLength = window::lengthOf(fd)) {
    *size = *windowLength;
    return true;
  }
  LARGE_INTEGER length;
  HANDLE handle = systemHandle(fd);
  if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &length) || length.QuadPart < 0) {
    return false;
  }
  *size = static_cast<uint64_t>(length.QuadPart);
  return true;
}

bool syncFile(int fd) { return FlushFileBuffers(systemHandle(fd)) != 0; }

bool readableLength(int fd, uint64_t* length) { return fileSizeOf(fd, length); }

// Windows answers findData with one query; there is nothing to spare.
bool allocatedThroughout(int) { return false; }

bool findData(int fd, uint64_t offset, uint64_t* begin, uint64_t* end) {
  if (window::lengthOf(fd)) return false;
  uint64_t length = 0;
  if (!fileSizeOf(fd, &length)) return false;
  if (offset >= length) {
    *begin = *end = kNoDataAfter;
    return true;
  }
  // The first allocated range of [offset, length); more may follow
  // (ERROR_MORE_DATA), of which only the first is asked for.
  FILE_ALLOCATED_RANGE_BUFFER query = {};
  query.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
  query.Length.QuadPart = static_cast<LONGLONG>(length - offset);
  FILE_ALLOCATED_RANGE_BUFFER first = {};
  DWORD returned = 0;
  if (!DeviceIoControl(systemHandle(fd), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &first,
                       sizeof first, &returned, nullptr) &&
      GetLastError() != ERROR_MORE_DATA) {
    return false;
  }
  if (returned < sizeof first) {
    *begin = *end = kNoDataAfter;
    return true;
  }
  uint64_t from = static_cast<uint64_t>(first.FileOffset.QuadPart);
  uint64_t to = from + static_cast<uint64_t>(first.Length.QuadPart);
  if (to <= offset) return false;
  *begin = std::max(from, offset);
  *end = to;
  return true;
}

bool isCharacterDevice(int fd) { return GetFileType(systemHandle(fd)) == FILE_TYPE_CHAR; }

bool setFileSize(int fd, uint64_t size) {
  if (!writeAllowed()) return false;
  // Moving the end of file leaves a hole in a sparse file. The descriptor's
  // position does not move.
  if (size > static_cast<uint64_t>(INT64_MAX)) return false;
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  HANDLE handle = systemHandle(fd);
  return handle != INVALID_HANDLE_VALUE &&
         SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end);
}

// Windows copies whole files inside the system, not ranges: every copy goes
// through memory.
uint64_t copyInside(int, uint64_t, int, uint64_t, uint64_t) { return 0; }

bool copiesInside() { return false; }

bool punchHole(int fd, uint64_t offset, uint64_t length) {
  if (!writeAllowed()) return false;
  if (offset > static_cast<uint64_t>(INT64_MAX) - length) return false;
  HANDLE handle = systemHandle(fd);
  if (handle == INVALID_HANDLE_VALUE) return false;
  // A file system without sparse files keeps the zeros as they are.
  DWORD returned = 0;
  if (!DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr)) {
    return true;
  }
  FILE_ZERO_DATA_INFORMATION zero = {};
  zero.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
  zero.BeyondFinalZero.QuadPart = static_cast<LONGLONG>(offset + length);
  if (DeviceIoControl(handle, FSCTL_SET_ZERO_DATA, &zero, sizeof zero, nullptr, 0, &returned,
                      nullptr)) {
    return true;
  }
  // Systems that take the sparse mark but make no holes (Wine) leave the
  // zeros in place too.
  DWORD error = GetLastError();
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_INVALID_PARAMETER;
}

bool identityOfPath(const std::string& path, FileIdentity* identity) {
  HANDLE handle = openForQuery(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool found = identityOfHandle(handle, identity);
  CloseHandle(handle);
  return found;
}

bool identityOfDescriptor(int fd, FileIdentity* identity) {
  return identityOfHandle(systemHandle(fd), identity);
}

bool copyPermissions(int from, int to) {
  // What Windows keeps of a file's permissions in its attributes is the
  // read-only flag; access lists follow the directory, as for any new file.
  BY_HANDLE_FILE_INFORMATION source, target;
  if (!informationOf(systemHandle(from), &source) || !informationOf(systemHandle(to), &target)) {
    return false;
  }
  DWORD readOnly = source.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
  if ((target.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == readOnly) return true;
  FILE_BASIC_INFO basic = {};  // zero times stay as they are
  basic.FileAttributes =
      (target.dwFileAttributes & kSettableAttributes & ~FILE_ATTRIBUTE_READONLY) | readOnly;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(systemHandle(to), FileBasicInfo, &basic, sizeof basic);
}

bool replaceFile(const std::string& from, const std::string& to) {
  std::wstring wideFrom, wideTo;
  return toWide(from, &wideFrom) && toWide(to, &wideTo) &&
         MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool removeFile(const std::string& path) {
  std::wstring wide;
  return toWide(path, &wide) && DeleteFileW(wide.c_str());
}

std::string resolvedPath(const std::string& path) {
  HANDLE handle = openForQuery(path);
  if (handle == INVALID_HANDLE_VALUE) return path;
  std::wstring name(MAX_PATH, L'\0');
  DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  DWORD length = GetFinalPathNameByHandleW(handle, name.data(), MAX_PATH, flags);
  if (length >= MAX_PATH) {
    name.resize(length);
    length = GetFinalPathNameByHandleW(handle, name.data(), length, flags);
  }
  CloseHandle(handle);
  if (length == 0 || length >= name.size()) return path;
  name.resize(length);
  return fromWide(withoutLongNamePrefix(name));
}

std::string currentDirectory() {
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  if (length == 0) return std::string();
  std::wstring wide(length, L'\0');
  length = GetCurrentDirectoryW(length, wide.data());
  if (length == 0 || length >= wide.size()) return std::string();
  wide.resize(length);
  // '/' separates as well as '\' on Windows and on every other system, so a
  // name made from the working directory and written into an image opens
  // anywhere. "C:\" becomes "C:": the root of drive C with the trailing
  // separator taken off, as for any other directory.
  std::string directory = fromWide(wide);
  std::replace(directory.begin(), directory.end(), '\\', '/');
  if (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

void raiseOpenFileLimit() {
  // The layer's table of handles grows as needed; there is no limit to raise.
}

void ignoreBrokenPipes() {
  // Windows has no signal for a closed pipe: such a write fails and returns.
}

uint32_t processId() { return GetCurrentProcessId(); }

}  // namespace skarvel::platform
