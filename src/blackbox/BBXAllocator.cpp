#include "blackbox/BBXAllocator.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "blackbox/BBXContext.h"
#include "harbor/HBRBundle.h"
#include "platform/storage/OwnFile.h"

namespace lumora {
namespace {

constexpr std::size_t kBBXAllocationAlignment = 16;

std::atomic<BBXAllocator*> gBBXAllocator{nullptr};

std::size_t bbxPageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

std::size_t bbxRoundToPages(std::size_t requested, std::size_t page) {
  return (requested / page + 1) * page;
}

void* bbxAllocateFromRange(BBXAllocatorRange& range, std::size_t size) {
  size = (size + kBBXAllocationAlignment - 1) & ~(kBBXAllocationAlignment - 1);
  std::uintptr_t next = range.next.load();
  for (;;) {
    const std::uintptr_t end = next + size;
    if (end - range.start > range.size) {
      BBXSDKLog("%s: Unable to allocate sufficient memory, falling back to malloc\n",
                "BBXAllocatorSafeAllocateFromRegion");
      return std::malloc(size);
    }
    if (range.next.compare_exchange_weak(next, end)) return reinterpret_cast<void*>(next);
  }
}

// One diagnostic line, formatted in place before it goes anywhere.
constexpr std::size_t kBBXSDKLogLineBytes = 512;

struct BBXLogLine {
  char text[kBBXSDKLogLineBytes];
  std::size_t length = 0;

  void append(const char* data, std::size_t size) {
    const std::size_t room = sizeof(text) - length;
    if (size > room) size = room;
    std::memcpy(text + length, data, size);
    length += size;
  }
  void appendNumber(std::uint64_t value, unsigned base) {
    char digits[21];
    append(digits, BBXFormatUnsigned(value, base, digits));
  }
};

int bbxLogDescriptor() {
  const BBXContext* context = BBXContextGet();
  BBXWritableContext* writable = BBXWritableContextGet();
  if (context == nullptr || writable == nullptr || context->sdkLogPath == nullptr || !BBXContextIsOwnProcess()) {
    return -1;
  }
  int fd = writable->sdkLogDescriptor.load();
  if (fd >= 0) return fd;
  // A log of the kit's own only: a link or a pipe at its name is refused.
  fd = platform::openOwnFile(context->sdkLogPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return -1;
  int expected = -1;
  if (!writable->sdkLogDescriptor.compare_exchange_strong(expected, fd)) {
    close(fd);
    return expected;
  }
  return fd;
}

// Holds the line in the crash's buffer when it has room; false when no crash
// is being recorded.
bool bbxLogHold(BBXWritableContext* writable, const BBXLogLine& line) {
  if (writable->sdkLogHeldBy.load() == 0) return false;
  std::uint32_t fill = writable->sdkLogHeldFill.load();
  do {
    if (fill + line.length > sizeof(writable->sdkLogHeld)) return true;  // dropped
  } while (!writable->sdkLogHeldFill.compare_exchange_weak(fill, static_cast<std::uint32_t>(fill + line.length)));
  std::memcpy(writable->sdkLogHeld + fill, line.text, line.length);
  return true;
}

}  // namespace

BBXAllocator* BBXAllocatorGet() { return gBBXAllocator.load(); }
void BBXAllocatorSet(BBXAllocator* allocator) { gBBXAllocator.store(allocator); }

BBXAllocator* BBXAllocatorCreate(std::size_t writableSize, std::size_t protectableSize) {
  const std::size_t page = bbxPageSize();
  const std::size_t writable = bbxRoundToPages(writableSize, page);
  const std::size_t protectable = bbxRoundToPages(protectableSize + sizeof(BBXAllocator), page);
  const std::size_t total = writable + protectable + 3 * page;
  void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) {
    BBXSDKLog("%s: Mapping failed %s\n", __func__, strerror(errno));
    return nullptr;
  }
  auto* base = static_cast<char*>(mapping);
  char* writableStart = base + page;
  char* protectableStart = writableStart + writable + page;
  BBXSDKLog("%s: Mapping: %p %p %p, total: %u K\n", __func__, mapping, writableStart, protectableStart,
            static_cast<unsigned>(total / 1024));
  const struct {
    char* at;
    const char* message;
  } guards[] = {{base, "%s: First guard protection failed %s\n"},
                {writableStart + writable, "%s: Middle guard protection failed %s\n"},
                {protectableStart + protectable, "%s: Last guard protection failed %s\n"}};
  for (const auto& guard : guards) {
    if (mprotect(guard.at, page, PROT_NONE) != 0) {
      BBXSDKLog(guard.message, __func__, strerror(errno));
      munmap(mapping, total);
      return nullptr;
    }
  }
  auto* allocator = new (protectableStart) BBXAllocator{};
  allocator->mappingStart = mapping;
  allocator->writable.size = writable;
  allocator->writable.start = reinterpret_cast<std::uintptr_t>(writableStart);
  allocator->writable.next.store(allocator->writable.start);
  allocator->protectable.size = protectable;
  allocator->protectable.start = reinterpret_cast<std::uintptr_t>(protectableStart);
  allocator->protectable.next.store(allocator->protectable.start +
                                    ((sizeof(BBXAllocator) + kBBXAllocationAlignment - 1) &
                                     ~(kBBXAllocationAlignment - 1)));
  BBXSDKLog("%s: Allocator successfully created %p", __func__, allocator);
  return allocator;
}

void* BBXAllocatorSafeAllocate(BBXAllocator* allocator, std::size_t size, BBXAllocatorRegion region) {
  if (region != kBBXAllocatorRegionProtectable && region != kBBXAllocatorRegionWritable) return nullptr;
  if (allocator == nullptr) {
    BBXSDKLog("%s: Allocator invalid, falling back to malloc\n", __func__);
    return std::malloc(size);
  }
  if (allocator->isProtected.load()) {
    BBXSDKLog("%s: Allocator already protected, falling back to malloc\n", __func__);
    return std::malloc(size);
  }
  return bbxAllocateFromRange(region == kBBXAllocatorRegionWritable ? allocator->writable : allocator->protectable,
                              size);
}

bool BBXAllocatorProtect(BBXAllocator* allocator) {
  if (reinterpret_cast<std::uintptr_t>(allocator) < kBBXMinimumValidAddress) {
    BBXSDKLog("%s: Invalid allocator", __func__);
    return false;
  }
  if (allocator->isProtected.exchange(true)) {
    BBXSDKLog("%s: Write protection already enabled", __func__);
    return true;
  }
  return mprotect(reinterpret_cast<void*>(allocator->protectable.start), allocator->protectable.size, PROT_READ) ==
         0;
}

char* BBXSafeStrdup(const char* text) {
  if (text == nullptr) return nullptr;
  const std::size_t length = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(BBXAllocatorSafeAllocate(BBXAllocatorGet(), length, kBBXAllocatorRegionProtectable));
  if (copy != nullptr) std::memcpy(copy, text, length);
  return copy;
}

std::size_t BBXFormatUnsigned(std::uint64_t value, unsigned base, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  char scratch[21];
  std::size_t at = sizeof(scratch);
  do {
    scratch[--at] = kDigits[value % base];
    value /= base;
  } while (value != 0);
  const std::size_t length = sizeof(scratch) - at;
  std::memcpy(out, scratch + at, length);
  out[length] = '\0';
  return length;
}

void BBXSDKLog(const char* format, ...) {
  BBXWritableContext* writable = BBXWritableContextGet();
  if (format == nullptr || writable == nullptr || !BBXContextIsOwnProcess()) return;
  BBXLogLine line;
  va_list args;
  va_start(args, format);
  for (const char* at = format; *at != '\0'; ++at) {
    if (*at != '%' || at[1] == '\0') {
      line.append(at, 1);
      continue;
    }
    switch (*++at) {
      case 'd': {
        const int value = va_arg(args, int);
        if (value < 0) line.append("-", 1);
        line.appendNumber(value < 0 ? 0u - static_cast<std::uint64_t>(static_cast<std::int64_t>(value))
                                    : static_cast<std::uint64_t>(value),
                          10);
        break;
      }
      case 'u':
        line.appendNumber(va_arg(args, unsigned), 10);
        break;
      case 'x':
        line.appendNumber(va_arg(args, unsigned), 16);
        break;
      case 'p':
        line.append("0x", 2);
        line.appendNumber(reinterpret_cast<std::uintptr_t>(va_arg(args, void*)), 16);
        break;
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        line.append(text, strnlen(text, sizeof(line.text)));
        break;
      }
      default:
        line.append(at - 1, 2);
        break;
    }
  }
  va_end(args);
  if (line.length == 0 || bbxLogHold(writable, line)) return;
  // Past the launch's share the log takes no more: a long run (or a loop of
  // failures) must not fill the disk that the crash record needs.
  if (writable->sdkLogBytes.fetch_add(line.length) + line.length > kBBXSDKLogMaxBytes) return;
  const int fd = bbxLogDescriptor();
  if (fd >= 0) BBXSafeWrite(fd, line.text, line.length);
}

void BBXSDKLogHoldForCrash() {
  BBXWritableContext* writable = BBXWritableContextGet();
  if (writable == nullptr) return;
  pid_t none = 0;
  if (writable->sdkLogHeldBy.compare_exchange_strong(none, static_cast<pid_t>(syscall(SYS_gettid)))) {
    writable->sdkLogHeldFill.store(0);
  }
}

void BBXSDKLogReleaseAfterCrash() {
  BBXWritableContext* writable = BBXWritableContextGet();
  if (writable == nullptr || writable->sdkLogHeldBy.load() != static_cast<pid_t>(syscall(SYS_gettid))) return;
  const std::uint32_t fill = writable->sdkLogHeldFill.exchange(0);
  writable->sdkLogHeldBy.store(0);
  const int fd = bbxLogDescriptor();
  if (fd >= 0 && fill > 0) BBXSafeWrite(fd, writable->sdkLogHeld, std::min<std::size_t>(fill, sizeof(writable->sdkLogHeld)));
}

bool BBXReadMemory(const void* source, void* destination, std::size_t size) {
  if (reinterpret_cast<std::uintptr_t>(source) < kBBXMinimumValidAddress || destination == nullptr) return false;
  if (size == 0) return true;
  iovec local{destination, size};
  iovec remote{const_cast<void*>(source), size};
  const ssize_t read = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  return read == static_cast<ssize_t>(size);
}

void BBXHexEncodeByte(std::uint8_t byte, char out[2]) {
  char digits[3];
  HBRHexEncodeBytes(&byte, 1, digits);
  out[0] = digits[0];
  out[1] = digits[1];
}

void BBXHexEncode(const void* bytes, std::size_t count, char* out) {
  HBRHexEncodeBytes(static_cast<const std::uint8_t*>(bytes), count, out);
}

std::size_t BBXSafeWrite(int fd, const void* data, std::size_t size) {
  const auto* at = static_cast<const char*>(data);
  std::size_t written = 0;
  while (written < size) {
    const ssize_t result = write(fd, at + written, size - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    written += static_cast<std::size_t>(result);
  }
  return written;
}

std::size_t BBXReadFile(const char* path, char* buffer, std::size_t size) {
  if (path == nullptr || buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t filled = 0;
  while (filled + 1 < size) {
    const ssize_t result = read(fd, buffer + filled, size - 1 - filled);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    filled += static_cast<std::size_t>(result);
  }
  close(fd);
  buffer[filled] = '\0';
  return filled;
}

bool BBXUnlinkIfExists(const char* path) {
  if (path == nullptr) return false;
  return unlink(path) == 0 || errno == ENOENT;
}

}  // namespace lumora
