// What the application and the SDK note during a launch, written at once
// into record files of the launch's report so that it survives a crash:
// custom keys (user key-value store), the SDK's own keys (internal store)
// and recorded non-fatal errors. Key-value files are compacted to the
// latest value per key every 64 writes, with a maximum number of keys;
// errors rotate between two files of a bounded size.
//
// Sections: "kv" {"key": hex, "value": hex or null (a removal)}; "error"
// {"domain": hex, "code", "time", "stacktrace": [return addresses],
// "info"/"extra_info": [[hex key, hex value], ...] (left out when empty)}.
//
// Ownership: the paths and limits live in the crash context, the counts and
// current files in the writable context. Threading: all file work runs on
// the logging queue; recording calls wait for their write, compaction and
// rotation follow asynchronously. Failure: logged to the SDK log, the entry
// dropped; nothing is recorded before the context is initialised.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blackbox/BBXContext.h"
#include "platform/Error.h"

namespace lumora {

void BBXUserLoggingInit(BBXUserLoggingContext* logging, BBXUserLoggingWritableState* state);

// Writes one "kv" section (value nullopt: a removal) into a store whose
// descriptor and counter live for the process (the crash context's).
void BBXUserLoggingRecordKeyValue(const std::string& key, const std::optional<std::string>& value,
                                  const BBXUserLoggingKVStorage* storage, std::uint32_t* counter);
// The same for a store the caller owns (a report of the last run): the
// descriptor and the counter are kept alive until the compaction that the
// write may queue has run, however soon the caller lets them go.
void BBXUserLoggingRecordKeyValue(const std::string& key, const std::optional<std::string>& value,
                                  std::shared_ptr<const BBXUserLoggingKVStorage> storage,
                                  std::shared_ptr<std::uint32_t> counter);
void BBXUserLoggingRecordUserKeyValue(const std::string& key, const std::optional<std::string>& value);
void BBXUserLoggingRecordInternalKeyValue(const std::string& key, const std::optional<std::string>& value);
// The write itself, for callers on the logging queue. `owner` keeps the
// descriptor and the counter alive for the compaction it may queue.
void BBXUserLoggingWriteKeyValue(const char* key, const char* value, const BBXUserLoggingKVStorage* storage,
                                 std::uint32_t* counter, std::shared_ptr<const void> owner = nullptr);
void BBXUserLoggingWriteInternalKeyValue(const char* key, const char* value);
// Folds the incremental file into the compacted one (last write wins, null
// removes), keeping at most the store's maximum of keys.
void BBXUserLoggingCompactKVEntries(const BBXUserLoggingKVStorage* storage);
// The "kv" objects of a file (an unreadable one is deleted); nullopt before
// the context is initialised or when the file cannot be read.
std::optional<std::vector<nlohmann::json>> BBXUserLoggingReadKVEntries(const char* path);

// The shortest decimal text that reads back as the same number ("0.1" for
// 0.1f, "12.25"), as the phone's number description writes it.
std::string BBXUserLoggingNumberText(float value);
std::string BBXUserLoggingNumberText(double value);

// Records an error with the calling thread's return addresses; `extraInfo`
// is an object of additional entries (anything else counts as none).
void BBXUserLoggingRecordError(const platform::Error& error, const nlohmann::json& extraInfo);

// Appends one section through `writer` to the pair's current file; once
// that file is past the limit, the other file is emptied and becomes the
// current one. Nothing without a current file or with a limit of 0.
void BBXUserLoggingWriteAndCheckABFiles(const BBXUserLoggingABFiles* files, const char** currentFile,
                                        const std::function<void(BBXFile*)>& writer);

}  // namespace lumora
