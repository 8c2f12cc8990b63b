// The one place that talks to the operating system about files.
//
// Everything above this layer works with plain integer descriptors and the
// open flags below, which each system translates (on Windows a descriptor is
// an index into the layer's own table of handles, so the number of open
// files has no limit there). Only the implementations here (file_posix.cpp,
// file_windows.cpp) include OS headers.
#ifndef SKARVEL_PLATFORM_FILE_H_
#define SKARVEL_PLATFORM_FILE_H_

#include <cstdint>
#include <string>

namespace skarvel::platform {

// Open flags; combine with |.
constexpr int kOpenReadOnly = 0x0000;
constexpr int kOpenReadWrite = 0x0002;
constexpr int kOpenCreate = 0x0100;
constexpr int kOpenTruncate = 0x0200;
constexpr int kOpenExclusive = 0x0400;  // with kOpenCreate: fail if the file exists
constexpr int kOpenBinary = 0x8000;     // no effect: every file opens without text translation

// Locks that other programs see, held for as long as the descriptor is open.
// A file locked for reading can be read by others, but not written or
// resized; a file locked for writing can be neither written nor resized by
// others, nor read by a program that takes a lock itself (programs that read
// without locks, such as info, may still read it).
constexpr int kOpenLockRead = 0x10000;
constexpr int kOpenLockWrite = 0x20000;

// What openFile returns when another program holds a lock on the file that
// conflicts with the one asked for (on Windows also when another program's
// lock keeps out even an open without one). The file is then left unchanged: a
// kOpenTruncate takes effect only once the lock is held.
constexpr int kFileInUse = -2;

// Opens |path|. With kOpenCreate a new file gets an ordinary read-write
// permission (0666 before the umask on POSIX). Returns a descriptor >= 0,
// kFileInUse when a lock asked for conflicts, or -1 when the file cannot be
// opened or is a directory. A FIFO or a socket is refused (-1) without
// waiting for a peer that never comes; character devices open as usual (see isCharacterDevice).
// Where the file system has no locks, the file opens without them.
int openFile(const std::string& path, int flags);

// Opens |path| as openFile does, read-only (|flags| may add a lock), as a
// window: the descriptor shows the |length| bytes from byte |offset| of the
// file as a file of their own. Reads, positions, lengths (fileSizeOf,
// readableLength) are the window's: byte 0 is the file's byte |offset|, and
// reads end at the window's end even where the file goes on. findData
// cannot tell (false), so callers read. closeFile ends the window. For a
// member of an archive read in place. Returns -1 for |flags| that ask to
// write, create or truncate, and what openFile returns when it fails.
int openFileWindow(const std::string& path, int flags, uint64_t offset, uint64_t length);

// Reads up to |length| bytes. Returns the count delivered (0 at end of file),
// or -1 when the operating system reports an error. A short count is retried
// internally, so fewer bytes than asked mean the file ended.
int64_t readFile(int fd, void* buffer, uint32_t length);

// Writes |length| bytes. Returns true only when all of them were written.
bool writeFile(int fd, const void* data, uint32_t length);

// Positioned forms of readFile and writeFile: they transfer at byte |offset|
// from the start of the file, in one call where the system has one, and
// leave the file position undefined. readFileAt returns the count
// delivered (short at the end of the file), or -1 when the position cannot
// be reached or the system reports an error.
int64_t readFileAt(int fd, uint64_t offset, void* buffer, uint32_t length);
bool writeFileAt(int fd, uint64_t offset, const void* data, uint32_t length);

// Positions the file at |offset| bytes from its start. The 32-bit form reaches
// 2 GiB, the 64-bit form the whole file. Return true on success.
bool seekFile32(int fd, int32_t offset);
bool seekFile64(int fd, uint64_t offset);

// Asks the system to put what was written to |fd| on the disk before it
// returns, so that a later write cannot reach the disk before it. Returns
// true on success.
bool syncFile(int fd);

// Closes a descriptor. Returns true on success.
bool closeFile(int fd);

// A descriptor of this process's standard output, for writeFile (bytes go
// out untranslated); its owner closes it with closeFile, which ends the
// output. -1 when the process has none.
int standardOutput();

// The same for standard input, for readFile; a pipe whose writer has gone
// reads as ended. -1 when the process has none.
int standardInput();

// The length in bytes of the file open as |fd|. Returns true on success.
bool fileSizeOf(int fd, uint64_t* size);

// The bytes a read can reach in what is open as |fd|: a regular file's
// length, a block device's size (for which fileSizeOf gives 0). Returns true
// on success; the file position is left as it was.
bool readableLength(int fd, uint64_t* length);

// What findData reports when only holes lie at and past the offset asked
// about: a byte past any file.
constexpr uint64_t kNoDataAfter = ~uint64_t{0};

// Where the file open as |fd| holds data at or past byte |offset|, as its
// file system records it: sets |*begin| to the first byte there that lies in
// no hole and |*end| to the end of the run of data it begins (both
// kNoDataAfter when none follows). Bytes in a hole read as zeros; a file
// system that keeps no holes reports the whole file as data. Returns false
// when the system cannot tell, and a caller then reads.
bool findData(int fd, uint64_t offset, uint64_t* begin, uint64_t* end);

// True when the system says every byte of the regular file open as |fd| is
// allocated (its blocks in use cover its length), so that findData would
// report one run of data: a search some file systems make by walking the
// whole file. False when it cannot tell, or for a window.
bool allocatedThroughout(int fd);

// True when |fd| is open on a character device (a terminal, /dev/zero,
// /dev/urandom): a stream without an end or a size, which no image is.
bool isCharacterDevice(int fd);

// Sets the length of the file open as |fd| to |size| bytes. Bytes added read
// as zeros and, where the file system allows, take no space (a hole).
// Returns true on success.
bool setFileSize(int fd, uint64_t size);

// Makes the |length| bytes from byte |offset| of the file open as |fd| a
// hole where the file system keeps holes: they read as zeros and take no
// space, and the file keeps its length. Where holes cannot be made the file
// is left as it is. Returns false only when the system reports a failure
// other than that; counts as a write for failWritesAfter.
bool punchHole(int fd, uint64_t offset, uint64_t length);

// Copies |length| bytes from byte |from| of the file open as |in| to byte
// |to| of the file open as |out| inside the system, the bytes never passing
// through this process (cheaper than reading and writing them). Returns how
// many of the first bytes were copied: all of them, or fewer where the
// system cannot copy between these files, or met a failure it does not say
// the side of; the caller then reads and writes the rest itself, which
// tells a failed read from a failed write. A window (openFileWindow) is not
// copied from. Counts as a write for failWritesAfter; when that allowance
// says fail, copies nothing.
uint64_t copyInside(int in, uint64_t from, int out, uint64_t to, uint64_t length);

// True where copyInside can copy at all, so that a caller need not prepare
// for it in vain.
bool copiesInside();

// Which file a path or a descriptor names: equal identities are one file,
// however it was reached (links, other spellings of the path).
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Returns false when the path does not name an existing file.
bool identityOfPath(const std::string& path, FileIdentity* identity);
bool identityOfDescriptor(int fd, FileIdentity* identity);

// Gives the file open as |to| the access permissions of the file open as
// |from|. Returns true on success.
bool copyPermissions(int from, int to);

// Replaces |to| with |from| in one step (within one directory). Returns true
// on success.
bool replaceFile(const std::string& from, const std::string& to);

// Removes a file; failures are ignored by callers that only tidy up.
bool removeFile(const std::string& path);

// The path of the file |path| names with every symbolic link resolved, or
// |path| itself when it cannot be resolved.
std::string resolvedPath(const std::string& path);

// The working directory, without a trailing separator; empty if unknown.
// On Windows its separators are '/' (which Windows takes as well as '\'), so
// that names made from it read the same on every system: "C:/work", and "C:"
// for the root of drive C.
std::string currentDirectory();

// Fault injection, for tests of what a failed write leaves behind: after
// |writes| more calls of writeFile, writeFileAt and setFileSize, every such
// call fails as on a full disk, until the next call of failWritesAfter.
// kNoWriteFault (the state a process starts in) lets every call through.
constexpr uint64_t kNoWriteFault = ~uint64_t{0};
void failWritesAfter(uint64_t writes);
// Counts one write against that allowance; false when it must fail. Used by
// the implementations of the write calls.
bool writeAllowed();

// Process set-up, called once at start by the entry point.
//
// Raises the limit on open files as far as the system allows (the soft limit
// to the hard one), so that split images of many extents open. Failures are
// ignored: the old limit stays. Windows has no such limit.
void raiseOpenFileLimit();
// Makes a write to a closed pipe fail with an error instead of ending the
// process, so that a reader that goes away (| head) cannot stop the work.
void ignoreBrokenPipes();
// This process's identifier.
uint32_t processId();

}  // namespace skarvel::platform

#endif  // SKARVEL_PLATFORM_FILE_H_
