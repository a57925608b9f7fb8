// What the host's delegate sees of a report of the last run: its identity
// and dates, read from the report, and the one thing it may change, the
// user identity recorded in it (appended as further internal key-value
// records to that report's own files).
//
// Ownership: shared; wraps the internal report it was made with.
// Threading: one thread at a time; the writes and the compactions they
// queue run on the logging queue, each with its own copy of the storage
// descriptor. Failure: outside a started kit the setters record nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "blackbox/BBXContext.h"
#include "blackbox/BBXInternalReport.h"

namespace lumora {

class BBXReport {
 public:
  explicit BBXReport(std::shared_ptr<BBXInternalReport> internalReport);

  const std::shared_ptr<BBXInternalReport>& internalReport() const { return internalReport_; }
  std::string identifier() const { return internalReport_->identifier(); }
  std::optional<std::string> bundleVersion() const { return internalReport_->bundleVersion(); }
  std::optional<std::string> bundleShortVersionString() const { return internalReport_->bundleShortVersionString(); }
  std::optional<platform::Clock::TimePoint> dateCreated() const { return internalReport_->dateCreated(); }
  std::optional<platform::Clock::TimePoint> crashedOnDate() const { return dateCreated(); }
  std::optional<std::string> OSVersion() const { return internalReport_->OSVersion(); }
  std::optional<std::string> OSBuildVersion() const { return internalReport_->OSBuildVersion(); }
  bool isCrash() const { return internalReport_->isCrash(); }

  // Not kept in the report: always none, and setting one does nothing.
  std::optional<nlohmann::json> customKeys() const { return std::nullopt; }
  std::optional<std::string> userIdentifier() const { return std::nullopt; }
  std::optional<std::string> userName() const { return std::nullopt; }
  std::optional<std::string> userEmail() const { return std::nullopt; }
  void setObjectValue(const std::optional<std::string>&, const std::string&) {}

  void setUserIdentifier(const std::optional<std::string>& value);
  void setUserName(const std::optional<std::string>& value);
  void setUserEmail(const std::optional<std::string>& value);
  void recordValue(const std::optional<std::string>& value, const std::string& internalKey);

  // The report's internal key-value files and the running launch's limits.
  struct KVStorage {
    std::string incrementalPath;
    std::string compactedPath;
    BBXUserLoggingKVStorage storage;
  };
  KVStorage internalKVStorage() const;
  std::uint32_t internalKVCounter() const;

 private:
  std::shared_ptr<BBXInternalReport> internalReport_;
  // Shared with the compaction a write may queue, which resets it on the
  // logging queue after this object may be gone.
  std::shared_ptr<std::uint32_t> internalKVCounter_ = std::make_shared<std::uint32_t>(0);
};

}  // namespace lumora
