#include "blackbox/BBXUserLogging.h"

#include <charconv>
#include <iterator>
#include <map>
#include <utility>

#include "blackbox/BBXAllocator.h"
#include "platform/diagnostics/CallStack.h"
#include "platform/dispatch/Clock.h"

namespace lumora {
namespace {

std::string bbxDescription(const nlohmann::json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

void bbxWriteKVSection(BBXFile* file, const char* key, const char* value, bool hexEncode) {
  BBXFileWriteSectionStart(file, "kv");
  BBXFileWriteHashStart(file);
  if (hexEncode) {
    BBXFileWriteHashEntryHexEncodedString(file, "key", key);
    BBXFileWriteHashEntryHexEncodedString(file, "value", value);
  } else {
    BBXFileWriteHashEntryString(file, "key", key);
    BBXFileWriteHashEntryString(file, "value", value);
  }
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);
}

template <class Number>
std::string bbxShortestText(Number value) {
  char text[64];
  const auto written = std::to_chars(std::begin(text), std::end(text), value);
  return std::string(text, written.ptr);
}

void bbxWritePairs(BBXFile* file, const char* key, const nlohmann::json& dictionary) {
  if (!dictionary.is_object() || dictionary.empty()) return;
  BBXFileWriteHashKey(file, key);
  BBXFileWriteArrayStart(file);
  for (const auto& [name, value] : dictionary.items()) {
    BBXFileWriteArrayStart(file);
    BBXFileWriteArrayEntryHexEncodedString(file, name.c_str());
    BBXFileWriteArrayEntryHexEncodedString(file, bbxDescription(value).c_str());
    BBXFileWriteArrayEnd(file);
  }
  BBXFileWriteArrayEnd(file);
}

}  // namespace

void BBXUserLoggingInit(BBXUserLoggingContext* logging, BBXUserLoggingWritableState* state) {
  if (logging == nullptr || state == nullptr) return;
  state->currentLogFile = logging->logFiles.pathA;
  state->currentErrorFile = logging->errorFiles.pathA;
  state->userKVCount = 0;
  state->internalKVCount = 0;
  logging->userKVStorage.compactionThreshold = 64;
  logging->internalKVStorage.compactionThreshold = 64;
  logging->startTime = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(platform::Clock::current()->steadyNow().time_since_epoch())
          .count());
}

void BBXUserLoggingWriteKeyValue(const char* key, const char* value, const BBXUserLoggingKVStorage* storage,
                                 std::uint32_t* counter, std::shared_ptr<const void> owner) {
  if (storage == nullptr || counter == nullptr) {
    BBXSDKLog("%s: Bad parameters\n", __func__);
    return;
  }
  BBXFile file;
  if (!BBXFileInitWithPath(&file, storage->incrementalPath, true)) {
    BBXSDKLog("%s: Unable to open k-v file\n", __func__);
    return;
  }
  bbxWriteKVSection(&file, key, value, true);
  BBXFileClose(&file);
  if (++*counter == storage->compactionThreshold) {
    BBXContextLoggingQueue().async([storage, counter, owner = std::move(owner)] {
      BBXUserLoggingCompactKVEntries(storage);
      *counter = 0;
    });
  }
}

void BBXUserLoggingRecordKeyValue(const std::string& key, const std::optional<std::string>& value,
                                  const BBXUserLoggingKVStorage* storage, std::uint32_t* counter) {
  // A forked child has no logging queue to wait on, and its notes are not
  // its parent's.
  if (!BBXContextIsInitialized() || !BBXContextIsOwnProcess()) return;
  BBXContextLoggingQueue().sync([&] {
    BBXUserLoggingWriteKeyValue(key.c_str(), value ? value->c_str() : nullptr, storage, counter);
  });
}

void BBXUserLoggingRecordKeyValue(const std::string& key, const std::optional<std::string>& value,
                                  std::shared_ptr<const BBXUserLoggingKVStorage> storage,
                                  std::shared_ptr<std::uint32_t> counter) {
  if (!BBXContextIsInitialized() || !storage || !counter) return;
  using Owned = std::pair<std::shared_ptr<const BBXUserLoggingKVStorage>, std::shared_ptr<std::uint32_t>>;
  auto owner = std::make_shared<Owned>(storage, counter);
  BBXContextLoggingQueue().sync([&] {
    BBXUserLoggingWriteKeyValue(key.c_str(), value ? value->c_str() : nullptr, storage.get(), counter.get(),
                                std::move(owner));
  });
}

void BBXUserLoggingRecordUserKeyValue(const std::string& key, const std::optional<std::string>& value) {
  if (!BBXContextIsInitialized()) return;
  BBXUserLoggingRecordKeyValue(key, value, &BBXContextGet()->userLogging.userKVStorage,
                               &BBXWritableContextGet()->userLogging.userKVCount);
}

void BBXUserLoggingRecordInternalKeyValue(const std::string& key, const std::optional<std::string>& value) {
  if (!BBXContextIsInitialized()) return;
  BBXUserLoggingRecordKeyValue(key, value, &BBXContextGet()->userLogging.internalKVStorage,
                               &BBXWritableContextGet()->userLogging.internalKVCount);
}

void BBXUserLoggingWriteInternalKeyValue(const char* key, const char* value) {
  if (!BBXContextIsInitialized()) return;
  BBXUserLoggingWriteKeyValue(key, value, &BBXContextGet()->userLogging.internalKVStorage,
                              &BBXWritableContextGet()->userLogging.internalKVCount);
}

std::optional<std::vector<nlohmann::json>> BBXUserLoggingReadKVEntries(const char* path) {
  if (!BBXContextIsInitialized()) return std::nullopt;
  return BBXFileReadSections(path, true, [](nlohmann::json section) -> std::optional<nlohmann::json> {
    auto kv = section.find("kv");
    if (kv == section.end() || !kv->is_object()) return std::nullopt;
    return *kv;
  });
}

void BBXUserLoggingCompactKVEntries(const BBXUserLoggingKVStorage* storage) {
  if (storage == nullptr) return;
  std::map<std::string, std::string> entries;
  auto apply = [&entries](const std::optional<std::vector<nlohmann::json>>& read) {
    if (!read) return;
    for (const nlohmann::json& kv : *read) {
      auto key = kv.find("key");
      if (key == kv.end() || !key->is_string()) continue;
      auto value = kv.find("value");
      if (value == kv.end() || !value->is_string()) {
        entries.erase(key->get<std::string>());
      } else {
        entries[key->get<std::string>()] = value->get<std::string>();
      }
    }
  };
  apply(BBXUserLoggingReadKVEntries(storage->compactedPath));
  apply(BBXUserLoggingReadKVEntries(storage->incrementalPath));
  if (!BBXUnlinkIfExists(storage->compactedPath)) {
    BBXSDKLog("%s: Error: Unable to remove compacted KV store before compaction %s\n", __func__,
              storage->compactedPath);
  }
  BBXFile file;
  if (!BBXFileInitWithPath(&file, storage->compactedPath, true)) {
    BBXSDKLog("%s: Error: Unable to open compacted k-v file\n", __func__);
    return;
  }
  if (entries.size() > storage->maxKeys) {
    BBXSDKLog("%s: Truncating KV set, which is above max %d\n", __func__, static_cast<int>(storage->maxKeys));
    entries.erase(entries.begin(), std::next(entries.begin(), static_cast<long>(entries.size() - storage->maxKeys)));
  }
  // Read back, keys and values are hex digits already.
  for (const auto& [key, value] : entries) bbxWriteKVSection(&file, key.c_str(), value.c_str(), false);
  BBXFileClose(&file);
  if (!BBXUnlinkIfExists(storage->incrementalPath)) {
    BBXSDKLog("%s: Error: Unable to remove incremental KV store after compaction %s\n", __func__,
              storage->incrementalPath);
  }
}

std::string BBXUserLoggingNumberText(float value) { return bbxShortestText(value); }
std::string BBXUserLoggingNumberText(double value) { return bbxShortestText(value); }

void BBXUserLoggingWriteAndCheckABFiles(const BBXUserLoggingABFiles* files, const char** currentFile,
                                        const std::function<void(BBXFile*)>& writer) {
  if (files == nullptr || currentFile == nullptr || *currentFile == nullptr || files->maxSize == 0) return;
  platform::SerialQueue& queue = BBXContextLoggingQueue();
  std::uint64_t size = 0;
  queue.sync([&] {
    BBXFile file;
    if (!BBXFileInitWithPath(&file, *currentFile, true)) {
      BBXSDKLog("%s: Unable to open log file\n", __func__);
      return;
    }
    writer(&file);
    BBXFileCloseWithOffset(&file, &size);
  });
  queue.async([files, currentFile, size] {
    if (size <= files->maxSize) return;
    const char* other = *currentFile == files->pathA ? files->pathB : files->pathA;
    BBXUnlinkIfExists(other);
    *currentFile = other;
  });
}

void BBXUserLoggingRecordError(const platform::Error& error, const nlohmann::json& extraInfo) {
  if (!BBXContextIsInitialized() || !BBXContextIsOwnProcess()) return;
  const std::vector<void*> stack = platform::callStackReturnAddresses();
  const auto time = static_cast<std::uint64_t>(platform::Clock::current()->secondsSince1970());
  BBXUserLoggingWriteAndCheckABFiles(
      &BBXContextGet()->userLogging.errorFiles, &BBXWritableContextGet()->userLogging.currentErrorFile,
      [&](BBXFile* file) {
        BBXFileWriteSectionStart(file, "error");
        BBXFileWriteHashStart(file);
        BBXFileWriteHashEntryHexEncodedString(file, "domain", error.domain().c_str());
        BBXFileWriteHashEntryInt64(file, "code", error.code());
        BBXFileWriteHashEntryUint64(file, "time", time);
        BBXFileWriteHashKey(file, "stacktrace");
        BBXFileWriteArrayStart(file);
        for (void* address : stack) BBXFileWriteArrayEntryUint64(file, reinterpret_cast<std::uintptr_t>(address));
        BBXFileWriteArrayEnd(file);
        bbxWritePairs(file, "info", error.userInfo());
        bbxWritePairs(file, "extra_info", extraInfo);
        BBXFileWriteHashEnd(file);
        BBXFileWriteSectionEnd(file);
      });
}

}  // namespace lumora
