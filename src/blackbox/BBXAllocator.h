// Crash-time memory and the signal-safe helpers that crash handlers use in
// place of malloc, stdio and plain loads: one mapping made at start-up, split
// into a writable region and a region that is made read-only once start-up
// is done, each fenced by guard pages, with lock-free bump allocation from
// either; the diagnostic log "sdk.log" written with raw write(2) calls; and
// reads of memory that may not be mapped, through the kernel.
//
// Ownership: the allocator lives inside its own mapping and is never freed;
// allocations are never returned. Threading: allocation is lock-free and may
// run on several threads at once; every function here but BBXAllocatorCreate
// is async-signal-safe while it does not fall back to malloc. Failure:
// allocation falls back to malloc (logged) when a region is full, protected
// or missing; the log drops lines when it has no file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace lumora {

// Addresses below this are never read or followed by crash-time code.
inline constexpr std::uintptr_t kBBXMinimumValidAddress = 4096;

enum BBXAllocatorRegion : int {
  kBBXAllocatorRegionProtectable = 0,
  kBBXAllocatorRegionWritable = 1,
};

struct BBXAllocatorRange {
  std::size_t size;
  std::uintptr_t start;
  std::atomic<std::uintptr_t> next;
};

struct BBXAllocator {
  void* mappingStart;
  std::atomic<bool> isProtected;
  BBXAllocatorRange writable;
  BBXAllocatorRange protectable;
};

// Maps guard page, writable region, guard page, protectable region, guard
// page; each region is rounded up as (requested / page + 1) pages. The
// allocator itself is the first allocation of the protectable region.
BBXAllocator* BBXAllocatorCreate(std::size_t writableSize, std::size_t protectableSize);
// Bump allocation (16-byte aligned) from a region; null for an unknown
// region. Falls back to malloc, with a log line, without an allocator, after
// protection, or when the region is full.
void* BBXAllocatorSafeAllocate(BBXAllocator* allocator, std::size_t size, BBXAllocatorRegion region);
// Makes the protectable region read-only. True when it is (also when it was
// already); false for an invalid allocator or a failing mprotect.
bool BBXAllocatorProtect(BBXAllocator* allocator);
// A copy of `text` in the protectable region of the process's allocator;
// null for null.
char* BBXSafeStrdup(const char* text);

// The process's allocator (set by the crash context's start-up).
BBXAllocator* BBXAllocatorGet();
void BBXAllocatorSet(BBXAllocator* allocator);

// The diagnostic log. Conversions: %d (int), %u and %x (unsigned), %p
// (pointer, "0x" and hex), %s (text or "(null)"); any other pair after a %
// is written as it stands and takes no argument. Writes only once the crash
// context exists and names a log path, never from a forked child, one whole
// line (cut at 512 bytes) per call, and no more than kBBXSDKLogMaxBytes in a
// launch.
void BBXSDKLog(const char* format, ...);
// While a crash is recorded the log goes to a buffer of kBBXSDKLogCrashBytes
// (what does not fit is dropped), written out when the recording thread
// releases it: the record takes the disk first. Holding while another
// thread holds changes nothing; only the holder releases.
void BBXSDKLogHoldForCrash();
void BBXSDKLogReleaseAfterCrash();

// Copies `size` bytes from `source` of this process into `destination`
// through the kernel: false, never a fault, when any of it is unreadable or
// `source` is below kBBXMinimumValidAddress.
bool BBXReadMemory(const void* source, void* destination, std::size_t size);

// Two lower-case hex digits of `byte` into `out`.
void BBXHexEncodeByte(std::uint8_t byte, char out[2]);
// 2 * count hex digits and a NUL into `out` (cleared first over
// 2 * count + 1 bytes).
void BBXHexEncode(const void* bytes, std::size_t count, char* out);

// Writes all `size` bytes, going on after short writes and EINTR; the
// number written (less than `size` only when write(2) failed).
std::size_t BBXSafeWrite(int fd, const void* data, std::size_t size);

// Up to size - 1 bytes of the file at `path` into `buffer`, NUL-terminated;
// the count read (0 when it cannot be opened).
std::size_t BBXReadFile(const char* path, char* buffer, std::size_t size);

// True when `path` was removed or did not exist.
bool BBXUnlinkIfExists(const char* path);

// Digits of `value` in `base` (10 or 16, lower-case) into `out`, which holds
// at least 21 bytes; the text is NUL-terminated, its length is returned.
std::size_t BBXFormatUnsigned(std::uint64_t value, unsigned base, char* out);

}  // namespace lumora
