// The on-disk tree of analytics records under a root directory:
//
//   <root>/v1/<state>/<session>/<fragment>/<file>
//
// state "ACTIVE" (files "0.log", "1.log", "2.log", one per priority, being
// written) or "PACKAGED" (the same names plus ".zip", gzip data); session
// and fragment names "<timestamp>_<identifier>". While a fragment is being
// packaged its directory under "PACKAGED" carries the extra extension
// "prep" until it is complete. Paths are made on demand; removals take
// emptied parents along; the repair sweep removes whatever does not belong.
//
// A maintenance pass (packaging, upload, pruning) removes fragments one by
// one and must learn each time whether their parents were left empty.
// While a pass is open (beginPass), the repository remembers how many
// entries each directory it listed holds and keeps that count through its
// own removals; a parent still known to hold entries is not listed again,
// so a pass over n fragments costs n, not n squared. Entries added behind
// its back only make a count low, and a count that reaches zero is checked
// with a listing before anything goes, so what is removed is the same as
// with a listing after every removal.
//
// Ownership: holds the root path and, while a pass is open, the counts.
// Threading: the counts are locked; otherwise not locked, the analytics
// controller runs every change on its maintenance queue. Construction
// touches no file.
// Failure: errors of the file system are passed on as values; nothing is
// retried.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Result.h"

namespace lumora {

inline constexpr const char* kBBXEventLogActiveStateName = "ACTIVE";
inline constexpr const char* kBBXEventLogPackagedStateName = "PACKAGED";

class BBXEventLogSessionRepository {
 public:
  using URL = std::filesystem::path;
  using URLs = std::vector<URL>;
  enum ItemType { kRegularFile = 0, kDirectory = 1 };
  // A level of the sweep: (child, its should-delete flag) -> success.
  using CleanUpBlock = std::function<platform::Status(const URL& child, bool& shouldDelete)>;

  explicit BBXEventLogSessionRepository(URL rootDirectoryURL);
  virtual ~BBXEventLogSessionRepository() = default;
  BBXEventLogSessionRepository(BBXEventLogSessionRepository&&) = default;
  BBXEventLogSessionRepository& operator=(BBXEventLogSessionRepository&&) = default;

  // Keeps the repository's directory counts while it lives; passes may
  // overlap, and the counts go when the last one ends.
  class Pass {
   public:
    Pass(Pass&& other) noexcept : repository_(std::exchange(other.repository_, nullptr)) {}
    Pass& operator=(Pass&&) = delete;
    ~Pass();

   private:
    friend class BBXEventLogSessionRepository;
    explicit Pass(BBXEventLogSessionRepository* repository) : repository_(repository) {}
    BBXEventLogSessionRepository* repository_;
  };
  Pass beginPass();

  const URL& rootDirectoryURL() const { return rootDirectoryURL_; }

  // Names.
  static std::optional<std::string> activeEventLogFileNameForPriority(std::uint64_t priority);
  // 0, 1 or 2 for "N.log" with or without one more extension; else -1.
  static int priorityForEventLogFileWithName(const std::string& name);
  static std::string sessionDirectoryNameWithIdentifier(const std::string& identifier, std::uint64_t timestamp);
  static std::string sessionFragmentDirectoryNameWithIdentifier(const std::string& identifier,
                                                                std::uint64_t timestamp);
  static URL prepDirectoryForDirectoryURL(const URL& url);
  static bool isPrepDirectoryURL(const URL& url);
  static URL stateDirectoryURLForSessionDirectoryURL(const URL& url);
  static URL sessionDirectoryURLForSessionFragmentDirectoryURL(const URL& url);
  static URL sessionFragmentDirectoryURLForLogFileURL(const URL& url);
  static std::string versionDirectoryName();

  // Paths, created on demand.
  platform::Result<URL> statesDirectoryURL();
  platform::Result<URL> stateDirectoryURLForStateName(const std::string& state);
  platform::Result<URL> sessionDirectoryURLForStateName(const std::string& state, const std::string& sessionIdentifier,
                                                        std::uint64_t sessionTimestamp);
  platform::Result<URL> sessionFragmentDirectoryURLForStateName(const std::string& state,
                                                                const std::string& sessionIdentifier,
                                                                std::uint64_t sessionTimestamp,
                                                                const std::string& fragmentIdentifier,
                                                                std::uint64_t fragmentTimestamp);
  // The fragment directory is created; the file is not.
  platform::Result<URL> eventLogFileURLForStateName(const std::string& state, const std::string& sessionIdentifier,
                                                    std::uint64_t sessionTimestamp,
                                                    const std::string& fragmentIdentifier,
                                                    std::uint64_t fragmentTimestamp, std::uint64_t priority);

  // Listings (hidden entries skipped, sorted by name).
  platform::Result<URLs> sessionDirectoryURLsForStateName(const std::string& state);
  platform::Result<URLs> sessionFragmentDirectoryURLsForSessionDirectory(const URL& sessionDirectory);
  platform::Result<URLs> logFileURLsForSessionFragmentDirectory(const URL& fragmentDirectory);
  // Every log file of "ACTIVE", then of "PACKAGED".
  platform::Result<URLs> logFileURLsForAllStates();
  virtual platform::Result<URLs> contentsOfDirectoryURL(const URL& directory);
  static bool isDirectoryURL(const URL& url);
  static bool itemURLHasNameMatching(const URL& url, const std::string& name);
  static bool itemURLHasPathExtensionMatching(const URL& url, const std::string& extension);
  static URLs arrayByFilteringNonDirectoriesFromURLs(const URLs& urls);

  // Changes.
  platform::Status createFileWithURL(const URL& url);
  platform::Status createDirectoryWithURL(const URL& url);
  // Removes what stands at the path unless it is of `type` (or nothing is).
  platform::Status deleteItemAtPath(const URL& path, ItemType type);
  // <root>/v1/<state>/<session>/<fragment>.prep for a fragment of another
  // state, created.
  platform::Result<URL> prepSessionFragmentDirectoryURLForStateName(const std::string& state,
                                                                    const URL& fragmentDirectory);
  // Renames a ".prep" fragment to its final name, replacing what is there.
  platform::Result<URL> removePrepStatusFromSessionFragmentDirectoryURL(const URL& prepDirectory);
  platform::Status purgePrepSessionFragmentDirectoriesForStateName(const std::string& state);
  // Removes the fragment, then its session and state directories when
  // they are left empty.
  platform::Status removeSessionFragmentDirectory(const URL& fragmentDirectory);
  // Removes the file, then its fragment when left empty (and so on).
  platform::Status removeLogFile(const URL& logFile);
  // Removes the item unless its directory does not allow it (then success).
  platform::Status deleteItemAtURL(const URL& url);
  // Takes an item removed (here or by other means) out of an open pass's
  // counts: its own and those below it go, its parent's drops by one.
  void noteRemoved(const URL& url);

  // The repair sweep: removes everything under "v1" that is not a
  // well-formed state, session, fragment or log file, and emptied
  // directories, but never `keep` (the open fragment) or its parents.
  platform::Status cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(const std::optional<URL>& keep);
  platform::Status cleanUpStateDirectoryURL(const URL& url, const std::optional<URL>& keep, bool& shouldDelete);
  platform::Status cleanUpSessionDirectoryURL(const URL& url, const std::optional<URL>& keep, bool& shouldDelete);
  platform::Status cleanUpSessionFragmentDirectoryURL(const URL& url, bool& shouldDelete);
  static void cleanUpLogFileURL(const URL& url, bool& shouldDelete);
  platform::Status cleanUpDirectoryURL(const URL& url, bool& shouldDelete, const CleanUpBlock& block);

 private:
  struct Counts {
    std::mutex mutex;
    int passes = 0;
    std::map<std::string, std::size_t> entries;  // directory -> entries listed, less those removed since
  };
  static std::string countKey(const URL& url);
  // Whether the directory holds no (visible) entries: from the counts when
  // they know it holds some, else by listing it.
  platform::Result<bool> isEmptyDirectoryURL(const URL& directory);
  platform::Status removeParentsLeftEmpty(URL parent, int levels);

  URL rootDirectoryURL_;
  std::unique_ptr<Counts> counts_ = std::make_unique<Counts>();
};

}  // namespace lumora
