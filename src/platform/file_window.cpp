#include "platform/file_window.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "platform/file.h"

namespace skarvel::platform {

namespace window {

namespace {

struct Window {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t position = 0;
};

// The open windows by descriptor, under a lock should reads come from more
// than one thread; |count| lets a process without windows skip the lock.
struct Registry {
  std::mutex mutex;
  std::map<int, Window> windows;
  std::atomic<size_t> count{0};
};

Registry& registry() {
  static Registry instance;
  return instance;
}

std::optional<Window> find(int fd) {
  Registry& r = registry();
  if (r.count.load(std::memory_order_acquire) == 0) return std::nullopt;
  std::lock_guard<std::mutex> guard(r.mutex);
  auto found = r.windows.find(fd);
  if (found == r.windows.end()) return std::nullopt;
  return found->second;
}

}  // namespace

void add(int fd, uint64_t offset, uint64_t length) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.windows[fd] = Window{offset, length, 0};
  r.count.store(r.windows.size(), std::memory_order_release);
}

void remove(int fd) {
  Registry& r = registry();
  if (r.count.load(std::memory_order_acquire) == 0) return;
  std::lock_guard<std::mutex> guard(r.mutex);
  r.windows.erase(fd);
  r.count.store(r.windows.size(), std::memory_order_release);
}

void mapRead(int fd, uint64_t* offset, uint32_t* length) {
  std::optional<Window> w = find(fd);
  if (!w) return;
  uint64_t from = std::min(*offset, w->length);
  *length = static_cast<uint32_t>(std::min<uint64_t>(*length, w->length - from));
  *offset = w->offset + from;
}

std::optional<uint64_t> lengthOf(int fd) {
  std::optional<Window> w = find(fd);
  if (!w) return std::nullopt;
  return w->length;
}

bool seek(int fd, uint64_t offset) {
  Registry& r = registry();
  if (r.count.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> guard(r.mutex);
  auto found = r.windows.find(fd);
  if (found == r.windows.end()) return false;
  found->second.position = offset;
  return true;
}

std::optional<int64_t> readOn(int fd, void* buffer, uint32_t length) {
  std::optional<Window> w = find(fd);
  if (!w) return std::nullopt;
  int64_t n = readFileAt(fd, w->position, buffer, length);
  if (n > 0) seek(fd, w->position + static_cast<uint64_t>(n));
  return n;
}

}  // namespace window

int openFileWindow(const std::string& path, int flags, uint64_t offset, uint64_t length) {
  if (flags & (kOpenReadWrite | kOpenCreate | kOpenTruncate)) return -1;
  int fd = openFile(path, flags);
  if (fd >= 0) window::add(fd, offset, length);
  return fd;
}

}  // namespace skarvel::platform
