// Windows implementation of the file layer: the C runtime's low-level
// descriptor calls on UTF-16 paths, with 64-bit positions, and Win32 where
// the runtime has no call (file identity, replacing, attributes, resolved
// names). Paths arrive as UTF-8 and are converted at each call.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <winioctl.h>
// The runtime's headers after the system's.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

#include "platform/file.h"
#include "platform/wide_text.h"

namespace skarvel::platform {

namespace {

// The layer's open flags are the runtime's own values, passed through as
// they are.
static_assert(kOpenReadOnly == _O_RDONLY && kOpenReadWrite == _O_RDWR && kOpenCreate == _O_CREAT &&
              kOpenTruncate == _O_TRUNC && kOpenExclusive == _O_EXCL && kOpenBinary == _O_BINARY);

// _read and _write take an unsigned count but return an int; stay well
// inside both.
constexpr uint32_t kMaxTransfer = 1u << 30;

// Attributes that SetFileInformationByHandle accepts back; others (sparse,
// compressed, encrypted, directory) are the file system's to set.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_TEMPORARY;

HANDLE systemHandle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

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
  if (!toWide(path, &wide)) return -1;
  if ((flags & kOpenReadWrite) && isReadOnly(wide)) return -1;
  // _O_NOINHERIT keeps the descriptor out of child processes.
  int fd = _wopen(wide.c_str(), flags | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return -1;
  HANDLE handle = systemHandle(fd);
  if (isDirectory(handle)) {
    _close(fd);
    return -1;
  }
  if (flags & kOpenCreate) markSparse(handle);
  return fd;
}

int64_t readFile(int fd, void* buffer, uint32_t length) {
  auto* out = static_cast<char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    int n = _read(fd, out + done, std::min(length - done, kMaxTransfer));
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

bool writeFile(int fd, const void* data, uint32_t length) {
  if (!writeAllowed()) return false;
  const auto* in = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < length) {
    int n = _write(fd, in + done, std::min(length - done, kMaxTransfer));
    if (n <= 0) return false;
    done += static_cast<uint32_t>(n);
  }
  return true;
}

// The runtime has no positioned transfer; a seek and a transfer do the same
// for a descriptor used by one thread.
int64_t readFileAt(int fd, uint64_t offset, void* buffer, uint32_t length) {
  if (!seekFile64(fd, offset)) return -1;
  return readFile(fd, buffer, length);
}

bool writeFileAt(int fd, uint64_t offset, const void* data, uint32_t length) {
  if (!writeAllowed()) return false;
  return seekFile64(fd, offset) && writeFile(fd, data, length);
}

bool seekFile32(int fd, int32_t offset) {
  return offset >= 0 && _lseek(fd, offset, SEEK_SET) == offset;
}

bool seekFile64(int fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  auto position = static_cast<int64_t>(offset);
  return _lseeki64(fd, position, SEEK_SET) == position;
}

bool closeFile(int fd) { return _close(fd) == 0; }

bool fileSizeOf(int fd, uint64_t* size) {
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

bool isCharacterDevice(int fd) { return GetFileType(systemHandle(fd)) == FILE_TYPE_CHAR; }

bool setFileSize(int fd, uint64_t size) {
  if (!writeAllowed()) return false;
  // Not _chsize_s, which writes the zeros out: moving the end of file leaves
  // a hole in a sparse file. The descriptor's position does not move.
  if (size > static_cast<uint64_t>(INT64_MAX)) return false;
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  HANDLE handle = systemHandle(fd);
  return handle != INVALID_HANDLE_VALUE &&
         SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end);
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
  return toWide(path, &wide) && _wunlink(wide.c_str()) == 0;
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
  // The runtime's table of low-level descriptors has a fixed size (2048 in
  // msvcrt.dll), with no lower limit to raise.
}

void ignoreBrokenPipes() {
  // Windows has no signal for a closed pipe: such a write fails and returns.
}

uint32_t processId() { return GetCurrentProcessId(); }

}  // namespace skarvel::platform
