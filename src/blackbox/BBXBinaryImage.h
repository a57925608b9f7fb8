// The binary image store: for every loaded image (the executable, libraries,
// the vdso) what a crash handler needs without asking the dynamic loader:
// its address range and its unwind sections, in 512 lock-free slots of the
// writable crash context; and "binary_images.bbxrecord", the log of "load"
// and "unload" records by which reports are symbolicated later.
//
// An image is described from its ELF program headers: base = the lowest
// PT_LOAD, size = up to the end of the last executable PT_LOAD, eh-frame =
// the PT_GNU_EH_FRAME table, uuid = the build-id (first 16 bytes, hex).
//
// Ownership: the slots live in the writable context. Threading: the store
// step runs on the loader's thread, lookups anywhere (signal handlers too:
// no lock, no allocation); the record file is written only on the
// binary-images queue. Failure: a full store drops the image from the slots
// (logged) but still records it.
#pragma once

#include <cstdint>
#include <optional>

#include "blackbox/BBXContext.h"
#include "platform/diagnostics/DynamicLoader.h"

namespace lumora {

struct BBXBinaryImageDetails {
  char uuid[33];  // 32 hex digits, "" without a build-id
  bool encrypted;
  std::uint32_t builtSDKVersion[3];
  std::uint32_t minimumOSVersion[3];
  std::uintptr_t loadAddress;
  std::uintptr_t size;
  std::uintptr_t ehFrame;
  std::uintptr_t ehFrameEnd;
  std::uintptr_t unwindInfo;
  std::uintptr_t crashInfo;
};

// Resets the slots and starts tracking: through the loader's callbacks when
// the system version code is below 90000, else once for every image loaded
// now (later loads then go untracked).
void BBXBinaryImageInit(const char* path, BBXWritableContext* writable);
// The first slot whose range holds `address`; false before the context is
// initialised, for address 0 or a null out pointer.
bool BBXBinaryImageSafeFindImageForAddress(std::uintptr_t address, BBXBinaryImageNode* node);
bool BBXBinaryImageHasUnwindInfo(const BBXBinaryImageNode* node);
// The first loaded image whose uuid text equals `uuid`.
bool BBXBinaryImageFindImageForUUID(const char* uuid, BBXBinaryImageDetails* details);
// The same image as the loader lists it, its path filled in for the
// executable; nullopt when none is loaded.
std::optional<platform::loader::Image> BBXBinaryImageLoadedImageForUUID(const char* uuid);
// The metadata record's "executable" section.
bool BBXBinaryImageRecordMainExecutable(BBXFile* file);
// Stores (or, `loaded` false, retires) one image's slot and queues its record.
void BBXBinaryImageStoreNode(const platform::loader::Image& image, bool loaded);

// Tests only: stops listening to the loader.
void BBXBinaryImageResetForTesting();

}  // namespace lumora
