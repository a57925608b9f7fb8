#include "blackbox/BBXBinaryImage.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "blackbox/BBXAllocator.h"
#include "harbor/HBRElfImage.h"
#include "harbor/HBRHost.h"
#include "harbor/HBRMachO.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

constexpr std::int64_t kBBXCallbackVersionLimit = 90000;

std::mutex gBBXLoaderTokensMutex;
std::vector<platform::loader::CallbackToken> gBBXLoaderTokens;

// The uuid of each image recorded as loaded, by load address: an unloaded
// image is unmapped, so its "unload" record takes the uuid from here. Used
// only on the binary-images queue.
std::map<std::uintptr_t, std::string>& bbxRecordedUUIDs() {
  static auto* uuids = new std::map<std::uintptr_t, std::string>;
  return *uuids;
}

BBXBinaryImageDetails bbxDescribe(const platform::loader::Image& image) {
  BBXBinaryImageDetails details{};
  std::uintptr_t lowest = UINTPTR_MAX;
  std::uintptr_t executableEnd = 0;
  for (const ElfW(Phdr)& header : image.headers) {
    const std::uintptr_t start = image.bias + header.p_vaddr;
    if (header.p_type == PT_LOAD) {
      if (start < lowest) lowest = start;
      if ((header.p_flags & PF_X) != 0 && start + header.p_memsz > executableEnd) executableEnd = start + header.p_memsz;
    } else if (header.p_type == PT_GNU_EH_FRAME) {
      details.ehFrame = start;
    }
  }
  if (lowest == UINTPTR_MAX) return details;
  for (const ElfW(Phdr)& header : image.headers) {
    const std::uintptr_t start = image.bias + header.p_vaddr;
    if (header.p_type == PT_LOAD && details.ehFrame != 0 && details.ehFrame >= start && details.ehFrame - start < header.p_memsz) {
      details.ehFrameEnd = start + header.p_memsz;
    }
  }
  details.loadAddress = lowest;
  details.size = executableEnd > lowest ? executableEnd - lowest : 0;
  HBRElfUUID uuid{};
  if (image.mapped && HBRElfLoadedImageUUID(image.headers.data(), image.headers.size(), image.bias, uuid)) {
    BBXHexEncode(uuid.data(), uuid.size(), details.uuid);
  }
  return details;
}

std::string bbxImagePath(const platform::loader::Image& image) {
  if (!image.path.empty()) return image.path;
  return HBRElfMainExecutablePath().value_or("");
}

void bbxRecordDetails(BBXFile* file, const BBXBinaryImageDetails& details) {
  if (!BBXFileIsOpen(file)) {
    BBXSDKLog("%s: Error: file is invalid\n", "BBXBinaryImageRecordDetails");
    return;
  }
  BBXFileWriteHashEntryString(file, "uuid", details.uuid);
  BBXFileWriteHashEntryUint64(file, "base", details.loadAddress);
  BBXFileWriteHashEntryUint64(file, "size", details.size);
}

// On the binary-images queue.
void bbxRecordSlice(const std::string& path, BBXBinaryImageDetails details, bool loaded) {
  const BBXContext* context = BBXContextGet();
  BBXWritableContext* writable = BBXWritableContextGet();
  if (context == nullptr || writable == nullptr) return;
  BBXFile* file = &writable->binaryImageFile;
  const bool opened = !BBXFileIsOpen(file);
  if (opened && !BBXFileInitWithPath(file, context->binaryImagePath, false)) {
    BBXSDKLog("%s: Error: unable to open binary image log file\n", "BBXBinaryImageOpenIfNeeded");
    return;
  }
  auto& uuids = bbxRecordedUUIDs();
  if (loaded) {
    uuids[details.loadAddress] = details.uuid;
  } else if (auto known = uuids.find(details.loadAddress); known != uuids.end()) {
    std::snprintf(details.uuid, sizeof(details.uuid), "%s", known->second.c_str());
    uuids.erase(known);
  }
  BBXFileWriteSectionStart(file, loaded ? "load" : "unload");
  BBXFileWriteHashStart(file);
  BBXFileWriteHashEntryString(file, "path", path.c_str());
  bbxRecordDetails(file, details);
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);
  if (opened) BBXFileClose(file);
}

bool bbxClaimSlot(BBXWritableContext* writable, const BBXBinaryImageDetails& details) {
  for (BBXBinaryImageNode& node : writable->binaryImages) {
    std::uintptr_t expected = 0;
    if (!node.loadAddress.compare_exchange_strong(expected, details.loadAddress)) continue;
    node.size = details.size;
    node.ehFrame = details.ehFrame;
    node.ehFrameEnd = details.ehFrameEnd;
    node.unwindInfo = details.unwindInfo;
    node.crashInfo = details.crashInfo;
    return true;
  }
  return false;
}

bool bbxRetireSlot(BBXWritableContext* writable, const BBXBinaryImageDetails& details) {
  for (BBXBinaryImageNode& node : writable->binaryImages) {
    if (node.loadAddress.load() != details.loadAddress) continue;
    std::uintptr_t expected = details.loadAddress;
    if (!node.loadAddress.compare_exchange_strong(expected, details.loadAddress)) {
      BBXSDKLog("%s: Error: Failed to swap during image unload\n", "BBXBinaryImageStoreNode");
      return false;
    }
    node.size = 0;
    node.ehFrame = 0;
    node.ehFrameEnd = 0;
    node.unwindInfo = 0;
    node.crashInfo = 0;
    return true;
  }
  return false;
}

void bbxStopListening() {
  std::lock_guard lock(gBBXLoaderTokensMutex);
  for (platform::loader::CallbackToken token : gBBXLoaderTokens) platform::loader::removeCallback(token);
  gBBXLoaderTokens.clear();
}

}  // namespace

void BBXBinaryImageStoreNode(const platform::loader::Image& image, bool loaded) {
  const BBXBinaryImageDetails details = bbxDescribe(image);
  BBXWritableContext* writable = BBXWritableContextGet();
  if (writable == nullptr) {
    BBXSDKLog("%s: Error: Writable context is NULL\n", __func__);
    return;
  }
  if (details.loadAddress == 0) return;
  const bool stored = loaded ? bbxClaimSlot(writable, details) : bbxRetireSlot(writable, details);
  if (!stored) {
    BBXSDKLog("%s: Error: Unable to track a %s node %p\n", __func__, loaded ? "loaded" : "unloaded",
              reinterpret_cast<void*>(details.loadAddress));
  }
  BBXContextBinaryImagesQueue().async(
      [path = bbxImagePath(image), details, loaded] { bbxRecordSlice(path, details, loaded); });
}

void BBXBinaryImageInit(const char* path, BBXWritableContext* writable) {
  if (writable == nullptr) return;
  bbxStopListening();
  platform::SerialQueue& queue = BBXContextBinaryImagesQueue();
  queue.sync([path, writable] {
    writable->binaryImageFile = BBXFile{};
    for (BBXBinaryImageNode& node : writable->binaryImages) {
      node.loadAddress.store(0);
      node.size = node.ehFrame = node.ehFrameEnd = node.unwindInfo = node.crashInfo = 0;
    }
    bbxRecordedUUIDs().clear();
    if (!BBXUnlinkIfExists(path)) BBXSDKLog("%s: Unable to reset the binary image log file %s\n", __func__, path);
    if (!BBXFileInitWithPath(&writable->binaryImageFile, path, false)) {
      BBXSDKLog("%s: Error: Unable to open the binary image log file during init\n", __func__);
    }
  });
  if (HBRHostOSVersionCode() < kBBXCallbackVersionLimit) {
    std::lock_guard lock(gBBXLoaderTokensMutex);
    gBBXLoaderTokens.push_back(platform::loader::addImageAddedCallback(
        [](const platform::loader::Image& image) { BBXBinaryImageStoreNode(image, true); }));
    gBBXLoaderTokens.push_back(platform::loader::addImageRemovedCallback(
        [](const platform::loader::Image& image) { BBXBinaryImageStoreNode(image, false); }));
  } else {
    platform::consoleLog("[Blackbox:Crash] Warning: iOS 9 workaround for binary image loading issue in place.");
    for (const platform::loader::Image& image : platform::loader::loadedImages()) BBXBinaryImageStoreNode(image, true);
  }
  // The records of the images known now were queued before this.
  queue.async([writable] {
    BBXFileClose(&writable->binaryImageFile);
    BBXContextStartupRecordDone();
  });
}

bool BBXBinaryImageSafeFindImageForAddress(std::uintptr_t address, BBXBinaryImageNode* node) {
  const BBXWritableContext* writable = BBXWritableContextGet();
  if (!BBXContextIsInitialized() || writable == nullptr || address == 0 || node == nullptr) return false;
  for (const BBXBinaryImageNode& slot : writable->binaryImages) {
    const std::uintptr_t start = slot.loadAddress.load();
    if (start == 0 || address < start || address - start >= slot.size) continue;
    node->loadAddress.store(start);
    node->size = slot.size;
    node->ehFrame = slot.ehFrame;
    node->ehFrameEnd = slot.ehFrameEnd;
    node->unwindInfo = slot.unwindInfo;
    node->crashInfo = slot.crashInfo;
    return true;
  }
  return false;
}

bool BBXBinaryImageHasUnwindInfo(const BBXBinaryImageNode* node) {
  return node != nullptr && node->unwindInfo >= kBBXMinimumValidAddress;
}

bool BBXBinaryImageFindImageForUUID(const char* uuid, BBXBinaryImageDetails* details) {
  if (uuid == nullptr || details == nullptr) {
    BBXSDKLog("%s: null input\n", __func__);
    return false;
  }
  for (const platform::loader::Image& image : platform::loader::loadedImages()) {
    const BBXBinaryImageDetails candidate = bbxDescribe(image);
    if (std::strncmp(candidate.uuid, uuid, sizeof(candidate.uuid)) == 0) {
      *details = candidate;
      return true;
    }
  }
  return false;
}

std::optional<platform::loader::Image> BBXBinaryImageLoadedImageForUUID(const char* uuid) {
  if (uuid == nullptr || *uuid == '\0') return std::nullopt;
  for (platform::loader::Image& image : platform::loader::loadedImages()) {
    if (std::strncmp(bbxDescribe(image).uuid, uuid, sizeof(BBXBinaryImageDetails::uuid)) != 0) continue;
    image.path = bbxImagePath(image);
    return image;
  }
  return std::nullopt;
}

bool BBXBinaryImageRecordMainExecutable(BBXFile* file) {
  const std::vector<platform::loader::Image> images = platform::loader::loadedImages();
  if (images.empty() || !BBXFileIsOpen(file)) return false;
  const BBXBinaryImageDetails details = bbxDescribe(images.front());
  const std::string zero = HBRVersionTripleFormat(HBRVersionTriple{}).value_or("0.0.0");
  BBXFileWriteSectionStart(file, "executable");
  BBXFileWriteHashStart(file);
  BBXFileWriteHashEntryString(file, "architecture", HBRElfArchitectureName(HBRElfHostMachine()).c_str());
  bbxRecordDetails(file, details);
  BBXFileWriteHashEntryBoolean(file, "encrypted", details.encrypted);
  BBXFileWriteHashEntryString(file, "minimum_sdk_version", zero.c_str());
  BBXFileWriteHashEntryString(file, "built_sdk_version", zero.c_str());
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);
  return true;
}

void BBXBinaryImageResetForTesting() { bbxStopListening(); }

}  // namespace lumora
