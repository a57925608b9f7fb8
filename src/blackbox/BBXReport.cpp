#include "blackbox/BBXReport.h"

#include <utility>

#include "blackbox/BBXUserLogging.h"

namespace lumora {

BBXReport::BBXReport(std::shared_ptr<BBXInternalReport> internalReport) : internalReport_(std::move(internalReport)) {}

void BBXReport::setUserIdentifier(const std::optional<std::string>& value) { recordValue(value, "com.blackbox.user-id"); }
void BBXReport::setUserName(const std::optional<std::string>& value) { recordValue(value, "com.blackbox.user-name"); }
void BBXReport::setUserEmail(const std::optional<std::string>& value) {
  recordValue(value, "com.blackbox.user-email");
}

BBXReport::KVStorage BBXReport::internalKVStorage() const {
  KVStorage kv;
  kv.incrementalPath = internalReport_->pathForContentFile("internal_incremental_kv.bbxrecord");
  kv.compactedPath = internalReport_->pathForContentFile("internal_compacted_kv.bbxrecord");
  const BBXUserLoggingKVStorage& running = BBXContextGet()->userLogging.internalKVStorage;
  kv.storage.compactionThreshold = running.compactionThreshold;
  kv.storage.maxKeys = running.maxKeys;
  return kv;
}

std::uint32_t BBXReport::internalKVCounter() const {
  std::uint32_t count = 0;
  BBXContextLoggingQueue().sync([&] { count = *internalKVCounter_; });
  return count;
}

void BBXReport::recordValue(const std::optional<std::string>& value, const std::string& internalKey) {
  if (!BBXContextIsInitialized()) return;
  // The descriptor points into its own strings; a compaction queued by this
  // write holds both until it has run.
  auto kv = std::make_shared<KVStorage>(internalKVStorage());
  kv->storage.incrementalPath = kv->incrementalPath.c_str();
  kv->storage.compactedPath = kv->compactedPath.c_str();
  BBXUserLoggingRecordKeyValue(internalKey, value, std::shared_ptr<const BBXUserLoggingKVStorage>(kv, &kv->storage),
                               internalKVCounter_);
}

}  // namespace lumora
