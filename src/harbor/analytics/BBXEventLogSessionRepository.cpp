#include "harbor/analytics/BBXEventLogSessionRepository.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <fmt/format.h>

namespace lumora {
namespace {

namespace fs = std::filesystem;
using URL = BBXEventLogSessionRepository::URL;
using URLs = BBXEventLogSessionRepository::URLs;

constexpr const char* kVersionDirectoryName = "v1";
constexpr const char* kPrepExtension = "prep";

platform::Error repositoryError(const std::error_code& ec, const std::string& what, const URL& url) {
  return platform::posixError(ec.value(), what + " " + url.string());
}

std::string lastExtension(const URL& url) {
  const std::string ext = url.filename().extension().string();
  return ext.empty() ? ext : ext.substr(1);
}

bool isLogFileName(const URL& url) {
  const std::string ext = lastExtension(url);
  return ext == "log" || ext == "zip";
}

}  // namespace

BBXEventLogSessionRepository::BBXEventLogSessionRepository(URL rootDirectoryURL)
    : rootDirectoryURL_(std::move(rootDirectoryURL)) {}

BBXEventLogSessionRepository::Pass BBXEventLogSessionRepository::beginPass() {
  std::lock_guard<std::mutex> guard(counts_->mutex);
  ++counts_->passes;
  return Pass(this);
}

BBXEventLogSessionRepository::Pass::~Pass() {
  if (!repository_) return;
  Counts& counts = *repository_->counts_;
  std::lock_guard<std::mutex> guard(counts.mutex);
  if (--counts.passes == 0) counts.entries.clear();
}

std::string BBXEventLogSessionRepository::countKey(const URL& url) {
  std::string key = url.lexically_normal().string();
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  return key;
}

void BBXEventLogSessionRepository::noteRemoved(const URL& url) {
  std::lock_guard<std::mutex> guard(counts_->mutex);
  if (counts_->passes == 0) return;
  auto& entries = counts_->entries;
  const std::string key = countKey(url);
  entries.erase(key);
  // Everything below it went too: the keys between "<key>/" and "<key>0".
  entries.erase(entries.lower_bound(key + '/'), entries.lower_bound(key + char('/' + 1)));
  auto parent = entries.find(countKey(URL(key).parent_path()));
  if (parent != entries.end() && parent->second > 0) --parent->second;
}

platform::Result<bool> BBXEventLogSessionRepository::isEmptyDirectoryURL(const URL& directory) {
  {
    std::lock_guard<std::mutex> guard(counts_->mutex);
    auto known = counts_->entries.find(countKey(directory));
    if (counts_->passes > 0 && known != counts_->entries.end() && known->second > 0) return false;
  }
  auto contents = contentsOfDirectoryURL(directory);
  if (!contents) return contents.error();
  return contents->empty();
}

std::optional<std::string> BBXEventLogSessionRepository::activeEventLogFileNameForPriority(std::uint64_t priority) {
  if (priority > 2) return std::nullopt;
  return fmt::format("{}.log", priority);
}

int BBXEventLogSessionRepository::priorityForEventLogFileWithName(const std::string& name) {
  const std::string stem = fs::path(name).stem().string();
  for (int priority = 0; priority <= 2; ++priority) {
    const std::string file = *activeEventLogFileNameForPriority(static_cast<std::uint64_t>(priority));
    if (name == file || stem == file) return priority;
  }
  return -1;
}

std::string BBXEventLogSessionRepository::sessionDirectoryNameWithIdentifier(const std::string& identifier,
                                                                            std::uint64_t timestamp) {
  return fmt::format("{}_{}", timestamp, identifier);
}

std::string BBXEventLogSessionRepository::sessionFragmentDirectoryNameWithIdentifier(const std::string& identifier,
                                                                                    std::uint64_t timestamp) {
  return fmt::format("{}_{}", timestamp, identifier);
}

URL BBXEventLogSessionRepository::prepDirectoryForDirectoryURL(const URL& url) {
  URL trimmed = url.has_filename() ? url : url.parent_path();
  return trimmed.parent_path() / (trimmed.filename().string() + "." + kPrepExtension);
}

bool BBXEventLogSessionRepository::isPrepDirectoryURL(const URL& url) {
  return lastExtension(url.has_filename() ? url : url.parent_path()) == kPrepExtension;
}

URL BBXEventLogSessionRepository::stateDirectoryURLForSessionDirectoryURL(const URL& url) { return url.parent_path(); }
URL BBXEventLogSessionRepository::sessionDirectoryURLForSessionFragmentDirectoryURL(const URL& url) {
  return url.parent_path();
}
URL BBXEventLogSessionRepository::sessionFragmentDirectoryURLForLogFileURL(const URL& url) { return url.parent_path(); }
std::string BBXEventLogSessionRepository::versionDirectoryName() { return kVersionDirectoryName; }

platform::Result<URL> BBXEventLogSessionRepository::statesDirectoryURL() {
  URL url = rootDirectoryURL_ / kVersionDirectoryName;
  if (auto status = createDirectoryWithURL(url); !status) return status.error();
  return url;
}

platform::Result<URL> BBXEventLogSessionRepository::stateDirectoryURLForStateName(const std::string& state) {
  URL url = rootDirectoryURL_ / kVersionDirectoryName / state;
  if (auto status = createDirectoryWithURL(url); !status) return status.error();
  return url;
}

platform::Result<URL> BBXEventLogSessionRepository::sessionDirectoryURLForStateName(
    const std::string& state, const std::string& sessionIdentifier, std::uint64_t sessionTimestamp) {
  URL url = rootDirectoryURL_ / kVersionDirectoryName / state /
            sessionDirectoryNameWithIdentifier(sessionIdentifier, sessionTimestamp);
  if (auto status = createDirectoryWithURL(url); !status) return status.error();
  return url;
}

platform::Result<URL> BBXEventLogSessionRepository::sessionFragmentDirectoryURLForStateName(
    const std::string& state, const std::string& sessionIdentifier, std::uint64_t sessionTimestamp,
    const std::string& fragmentIdentifier, std::uint64_t fragmentTimestamp) {
  URL url = rootDirectoryURL_ / kVersionDirectoryName / state /
            sessionDirectoryNameWithIdentifier(sessionIdentifier, sessionTimestamp) /
            sessionFragmentDirectoryNameWithIdentifier(fragmentIdentifier, fragmentTimestamp);
  if (auto status = createDirectoryWithURL(url); !status) return status.error();
  return url;
}

platform::Result<URL> BBXEventLogSessionRepository::eventLogFileURLForStateName(
    const std::string& state, const std::string& sessionIdentifier, std::uint64_t sessionTimestamp,
    const std::string& fragmentIdentifier, std::uint64_t fragmentTimestamp, std::uint64_t priority) {
  const auto name = activeEventLogFileNameForPriority(priority);
  if (!name) return platform::posixError(EINVAL, fmt::format("no log file for priority {}", priority));
  auto fragment = sessionFragmentDirectoryURLForStateName(state, sessionIdentifier, sessionTimestamp,
                                                          fragmentIdentifier, fragmentTimestamp);
  if (!fragment) return fragment.error();
  return *fragment / *name;
}

platform::Result<URLs> BBXEventLogSessionRepository::contentsOfDirectoryURL(const URL& directory) {
  std::error_code ec;
  URLs out;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name[0] == '.') continue;
    out.push_back(it->path());
  }
  if (ec) return repositoryError(ec, "list", directory);
  std::sort(out.begin(), out.end());
  std::lock_guard<std::mutex> guard(counts_->mutex);
  if (counts_->passes > 0) counts_->entries[countKey(directory)] = out.size();
  return out;
}

bool BBXEventLogSessionRepository::isDirectoryURL(const URL& url) {
  std::error_code ec;
  return fs::is_directory(url, ec);
}

bool BBXEventLogSessionRepository::itemURLHasNameMatching(const URL& url, const std::string& name) {
  return url.filename() == name;
}

bool BBXEventLogSessionRepository::itemURLHasPathExtensionMatching(const URL& url, const std::string& extension) {
  return lastExtension(url) == extension;
}

URLs BBXEventLogSessionRepository::arrayByFilteringNonDirectoriesFromURLs(const URLs& urls) {
  URLs out;
  std::copy_if(urls.begin(), urls.end(), std::back_inserter(out), isDirectoryURL);
  return out;
}

platform::Result<URLs> BBXEventLogSessionRepository::sessionDirectoryURLsForStateName(const std::string& state) {
  auto stateDirectory = stateDirectoryURLForStateName(state);
  if (!stateDirectory) return stateDirectory.error();
  auto contents = contentsOfDirectoryURL(*stateDirectory);
  if (!contents) return contents.error();
  return arrayByFilteringNonDirectoriesFromURLs(*contents);
}

platform::Result<URLs> BBXEventLogSessionRepository::sessionFragmentDirectoryURLsForSessionDirectory(
    const URL& sessionDirectory) {
  auto contents = contentsOfDirectoryURL(sessionDirectory);
  if (!contents) return contents.error();
  return arrayByFilteringNonDirectoriesFromURLs(*contents);
}

platform::Result<URLs> BBXEventLogSessionRepository::logFileURLsForSessionFragmentDirectory(
    const URL& fragmentDirectory) {
  auto contents = contentsOfDirectoryURL(fragmentDirectory);
  if (!contents) return contents.error();
  URLs out;
  std::copy_if(contents->begin(), contents->end(), std::back_inserter(out), isLogFileName);
  return out;
}

platform::Result<URLs> BBXEventLogSessionRepository::logFileURLsForAllStates() {
  URLs out;
  for (const char* state : {kBBXEventLogActiveStateName, kBBXEventLogPackagedStateName}) {
    auto sessions = sessionDirectoryURLsForStateName(state);
    if (!sessions) return sessions.error();
    for (const URL& session : *sessions) {
      auto fragments = sessionFragmentDirectoryURLsForSessionDirectory(session);
      if (!fragments) return fragments.error();
      for (const URL& fragment : *fragments) {
        auto files = logFileURLsForSessionFragmentDirectory(fragment);
        if (!files) return files.error();
        out.insert(out.end(), files->begin(), files->end());
      }
    }
  }
  return out;
}

platform::Status BBXEventLogSessionRepository::deleteItemAtPath(const URL& path, ItemType type) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (!fs::exists(status)) return {};
  if (fs::is_directory(status) == (type == kDirectory)) return {};
  fs::remove_all(path, ec);
  noteRemoved(path);
  if (ec) return repositoryError(ec, "remove", path);
  return {};
}

platform::Status BBXEventLogSessionRepository::createFileWithURL(const URL& url) {
  if (auto status = deleteItemAtPath(url, kRegularFile); !status) return status;
  std::error_code ec;
  if (fs::exists(url, ec)) return {};
  FILE* file = std::fopen(url.c_str(), "wx");
  if (!file) return platform::posixError(errno, "create " + url.string());
  std::fclose(file);
  return {};
}

platform::Status BBXEventLogSessionRepository::createDirectoryWithURL(const URL& url) {
  if (auto status = deleteItemAtPath(url, kDirectory); !status) return status;
  std::error_code ec;
  if (fs::is_directory(url, ec)) return {};
  fs::create_directories(url, ec);
  if (ec) return repositoryError(ec, "create directory", url);
  return {};
}

platform::Result<URL> BBXEventLogSessionRepository::prepSessionFragmentDirectoryURLForStateName(
    const std::string& state, const URL& fragmentDirectory) {
  const URL fragment = fragmentDirectory.has_filename() ? fragmentDirectory : fragmentDirectory.parent_path();
  if (std::distance(fragment.begin(), fragment.end()) < 3) {
    return platform::posixError(EINVAL, "not a fragment directory: " + fragment.string());
  }
  const URL target = rootDirectoryURL_ / kVersionDirectoryName / state / fragment.parent_path().filename() /
                     fragment.filename();
  URL prep = prepDirectoryForDirectoryURL(target);
  if (auto status = createDirectoryWithURL(prep); !status) return status.error();
  return prep;
}

platform::Result<URL> BBXEventLogSessionRepository::removePrepStatusFromSessionFragmentDirectoryURL(
    const URL& prepDirectory) {
  const URL prep = prepDirectory.has_filename() ? prepDirectory : prepDirectory.parent_path();
  if (prep.empty() || !isPrepDirectoryURL(prep)) {
    return platform::posixError(EINVAL, "not a prep directory: " + prep.string());
  }
  URL finalURL = prep.parent_path() / prep.stem();
  std::error_code ec;
  if (fs::remove_all(finalURL, ec) > 0 || ec) noteRemoved(finalURL);
  if (ec) return repositoryError(ec, "remove", finalURL);
  fs::rename(prep, finalURL, ec);
  if (ec) return repositoryError(ec, "rename", prep);
  {
    // The directory holds as many entries as before; what was known below
    // the old name no longer applies.
    std::lock_guard<std::mutex> guard(counts_->mutex);
    const std::string key = countKey(prep);
    counts_->entries.erase(counts_->entries.lower_bound(key), counts_->entries.lower_bound(key + char('/' + 1)));
  }
  return finalURL;
}

platform::Status BBXEventLogSessionRepository::purgePrepSessionFragmentDirectoriesForStateName(
    const std::string& state) {
  auto sessions = sessionDirectoryURLsForStateName(state);
  if (!sessions) return sessions.error();
  platform::Status result;
  for (const URL& session : *sessions) {
    auto fragments = sessionFragmentDirectoryURLsForSessionDirectory(session);
    if (!fragments) return fragments.error();
    for (const URL& fragment : *fragments) {
      if (!isPrepDirectoryURL(fragment)) continue;
      std::error_code ec;
      fs::remove_all(fragment, ec);
      noteRemoved(fragment);
      if (ec && result) result = repositoryError(ec, "remove", fragment);
    }
  }
  return result;
}

platform::Status BBXEventLogSessionRepository::removeParentsLeftEmpty(URL parent, int levels) {
  for (int level = 0; level < levels; ++level, parent = parent.parent_path()) {
    auto empty = isEmptyDirectoryURL(parent);
    if (!empty) return empty.error();
    if (!*empty) break;
    std::error_code ec;
    fs::remove_all(parent, ec);
    noteRemoved(parent);
    if (ec) return repositoryError(ec, "remove", parent);
  }
  return {};
}

platform::Status BBXEventLogSessionRepository::removeSessionFragmentDirectory(const URL& fragmentDirectory) {
  std::error_code ec;
  fs::remove_all(fragmentDirectory, ec);
  noteRemoved(fragmentDirectory);
  if (ec) return repositoryError(ec, "remove", fragmentDirectory);
  return removeParentsLeftEmpty(sessionDirectoryURLForSessionFragmentDirectoryURL(fragmentDirectory), 2);
}

platform::Status BBXEventLogSessionRepository::removeLogFile(const URL& logFile) {
  std::error_code ec;
  fs::remove(logFile, ec);
  noteRemoved(logFile);
  if (ec) return repositoryError(ec, "remove", logFile);
  const URL fragment = sessionFragmentDirectoryURLForLogFileURL(logFile);
  auto empty = isEmptyDirectoryURL(fragment);
  if (!empty) return empty.error();
  if (!*empty) return {};
  return removeSessionFragmentDirectory(fragment);
}

platform::Status BBXEventLogSessionRepository::deleteItemAtURL(const URL& url) {
  const URL parent = url.parent_path();
  if (::access((parent.empty() ? URL(".") : parent).c_str(), W_OK | X_OK) != 0) return {};
  std::error_code ec;
  fs::remove_all(url, ec);
  noteRemoved(url);
  if (ec) return repositoryError(ec, "remove", url);
  return {};
}

platform::Status BBXEventLogSessionRepository::cleanUpDirectoryURL(const URL& url, bool& shouldDelete,
                                                                   const CleanUpBlock& block) {
  shouldDelete = true;
  if (!isDirectoryURL(url)) return {};
  auto children = contentsOfDirectoryURL(url);
  if (!children) return children.error();
  for (const URL& child : *children) {
    bool childShouldDelete = false;
    if (auto status = block(child, childShouldDelete); !status) return status;
    if (childShouldDelete) {
      if (auto status = deleteItemAtURL(child); !status) return status;
    } else {
      shouldDelete = false;
    }
  }
  return {};
}

platform::Status BBXEventLogSessionRepository::cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(
    const std::optional<URL>& keep) {
  auto versionDirectory = statesDirectoryURL();
  if (!versionDirectory) return versionDirectory.error();
  bool ignored = false;
  return cleanUpDirectoryURL(*versionDirectory, ignored, [&](const URL& child, bool& shouldDelete) {
    if (!itemURLHasNameMatching(child, kBBXEventLogActiveStateName) &&
        !itemURLHasNameMatching(child, kBBXEventLogPackagedStateName)) {
      shouldDelete = true;
      return platform::Status();
    }
    return cleanUpStateDirectoryURL(child, keep, shouldDelete);
  });
}

platform::Status BBXEventLogSessionRepository::cleanUpStateDirectoryURL(const URL& url, const std::optional<URL>& keep,
                                                                        bool& shouldDelete) {
  return cleanUpDirectoryURL(url, shouldDelete, [&](const URL& child, bool& childShouldDelete) {
    return cleanUpSessionDirectoryURL(child, keep, childShouldDelete);
  });
}

platform::Status BBXEventLogSessionRepository::cleanUpSessionDirectoryURL(const URL& url,
                                                                          const std::optional<URL>& keep,
                                                                          bool& shouldDelete) {
  const std::optional<URL> kept = keep ? std::optional<URL>(keep->lexically_normal()) : std::nullopt;
  return cleanUpDirectoryURL(url, shouldDelete, [&](const URL& child, bool& childShouldDelete) {
    if (kept && child.lexically_normal() == *kept) {
      childShouldDelete = false;
      return platform::Status();
    }
    return cleanUpSessionFragmentDirectoryURL(child, childShouldDelete);
  });
}

platform::Status BBXEventLogSessionRepository::cleanUpSessionFragmentDirectoryURL(const URL& url,
                                                                                  bool& shouldDelete) {
  return cleanUpDirectoryURL(url, shouldDelete, [](const URL& child, bool& childShouldDelete) {
    cleanUpLogFileURL(child, childShouldDelete);
    return platform::Status();
  });
}

void BBXEventLogSessionRepository::cleanUpLogFileURL(const URL& url, bool& shouldDelete) {
  shouldDelete = isDirectoryURL(url) || !isLogFileName(url);
}

}  // namespace lumora
