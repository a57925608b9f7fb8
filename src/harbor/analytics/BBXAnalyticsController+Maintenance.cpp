// The analytics controller's maintenance: the timer, and the chain that
// opens a new fragment, packages, uploads, prunes and repairs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "harbor/BBXUserDefaults.h"
#include "harbor/HBRDebug.h"
#include "harbor/Harbor.h"
#include "harbor/analytics/BBXAnalyticsCompressFile.h"
#include "harbor/analytics/BBXAnalyticsController.h"
#include "platform/app/BackgroundTask.h"
#include "platform/diagnostics/Console.h"
#include "platform/storage/OwnFile.h"

namespace lumora {

namespace {

constexpr const char* kLastMaintenanceDateKey = "com.blackbox.insights.lastmaintenancedate";

void maintenanceDebugLog(const std::string& line) {
  if (HBRDebugEnabled()) platform::consoleLog("[Blackbox:Tally] " + line);
}

platform::Error maintenanceError(std::int64_t code) {
  return platform::Error(kBBXAnalyticsControllerErrorDomain, code);
}

double maintenanceNowSeconds() {
  return std::chrono::duration<double>(platform::Clock::currentTime().time_since_epoch()).count();
}

std::string maintenanceDescription(const platform::Status& status) {
  return status ? std::string() : status.error().description();
}

// A stream on a file of the controller's own: a pipe at its name would hold
// the maintenance queue, a link lead the packed copy into another's file.
std::FILE* openOwnStream(const std::filesystem::path& path, int flags, const char* mode) {
  const int fd = platform::openOwnFile(path.c_str(), flags, 0666);
  std::FILE* stream = fd >= 0 ? fdopen(fd, mode) : nullptr;
  if (fd >= 0 && stream == nullptr) close(fd);
  return stream;
}

}  // namespace

// Timer.

void BBXAnalyticsController::scheduleSessionMaintenance() {
  cancelSessionMaintenance();
  const auto interval = static_cast<double>(settings().flushIntervalSecs);
  if (!analyticsFeatureSwitchEnabled() || interval == 0) return;
  const std::uint64_t generation = ++timerGeneration_;
  timerScheduled_ = true;
  armTimer(generation, initialMaintenanceDelayWithFlushInterval(interval), interval);
}

void BBXAnalyticsController::armTimer(std::uint64_t generation, double delay, double interval) {
  std::weak_ptr<BBXAnalyticsController> weak = weak_from_this();
  const auto nanos = std::chrono::nanoseconds(static_cast<std::int64_t>(delay * 1e9));
  queues_[kMaintenance]->asyncAfter(std::chrono::duration_cast<platform::Clock::Duration>(nanos),
                                    [weak, generation, interval] {
                                      auto self = weak.lock();
                                      if (!self || self->timerGeneration_ != generation) return;
                                      self->maintainSessionFragmentsIgnoringError();
                                      self->armTimer(generation, interval, interval);
                                    });
}

void BBXAnalyticsController::cancelSessionMaintenance() {
  ++timerGeneration_;
  timerScheduled_ = false;
}

bool BBXAnalyticsController::maintenanceTimerScheduled() const { return timerScheduled_; }

double BBXAnalyticsController::initialMaintenanceDelayWithFlushInterval(double interval) {
  const double remaining = interval - (maintenanceNowSeconds() - lastMaintenanceDate());
  return remaining < 0 ? 0 : remaining;
}

double BBXAnalyticsController::lastMaintenanceDate() {
  if (auto stored = defaults_.objectForKey(kLastMaintenanceDateKey)) {
    if (const auto* date = std::get_if<platform::Clock::TimePoint>(&*stored)) {
      return std::chrono::duration<double>(date->time_since_epoch()).count();
    }
  }
  const double now = maintenanceNowSeconds();
  saveLastMaintenanceDate(now);
  return now;
}

void BBXAnalyticsController::saveLastMaintenanceDate(double date) {
  const auto since1970 = std::chrono::duration_cast<platform::Clock::Duration>(std::chrono::duration<double>(date));
  defaults_.setObject(BBXUserDefaults::Value(platform::Clock::TimePoint(since1970)), kLastMaintenanceDateKey);
  defaults_.synchronize();
}

// The chain.

void BBXAnalyticsController::maintainSessionFragmentsIgnoringError() {
  maintainSessionFragments([](const platform::Status& status) {
    if (!status) maintenanceDebugLog("Unable to maintain session fragments {" + status.error().description() + "}");
  });
}

void BBXAnalyticsController::maintainSessionFragments(Completion completion) {
  auto task = std::make_shared<platform::BackgroundTask::Identifier>(platform::BackgroundTask::kInvalid);
  if (settings().flushOnBackground && !isRunningInAppExtension()) {
    *task = platform::BackgroundTask::begin("com.blackbox.analytics.maintenance", [task] {
      maintenanceDebugLog("Application terminated before finishing maintenance");
      platform::BackgroundTask::end(*task);
      *task = platform::BackgroundTask::kInvalid;
    });
  }
  auto self = shared_from_this();
  openNewSessionFragment([self, task, completion](const platform::Status& opened) {
    if (!opened) maintenanceDebugLog("Unable to open new session fragment {" + maintenanceDescription(opened) + "}");
    self->packageClosedSessionFragments([self, task, completion](const platform::Status& packaged) {
      if (!packaged) {
        maintenanceDebugLog("Unable to package closed session fragments {" + maintenanceDescription(packaged) + "}");
      }
      self->transmitPackagedSessionFragments([self, task, completion](const platform::Status& sent) {
        maintenanceDebugLog(sent ? "Successfully transmitted packaged session fragments"
                                 : "Unable to transmit packaged session fragments {" + maintenanceDescription(sent) + "}");
        self->pruneSessionFragmentLogFiles([self, task, completion](const platform::Status& pruned) {
          if (!pruned) {
            maintenanceDebugLog("Unable to prune session fragment log files {" + maintenanceDescription(pruned) + "}");
          }
          self->cleanUpRepository([self, task, completion](const platform::Status& cleaned) {
            if (!cleaned) {
              maintenanceDebugLog("Unable to clean up session repository {" + maintenanceDescription(cleaned) + "}");
            }
            self->saveLastMaintenanceDate(maintenanceNowSeconds());
            if (*task != platform::BackgroundTask::kInvalid) platform::BackgroundTask::end(*task);
            if (completion) completion(platform::Status::success());
          });
        });
      });
    });
  });
}

void BBXAnalyticsController::openNewSessionFragment(Completion completion) {
  onMaintenanceQueue([this, completion] {
    completion(prepareNewSessionFragment(identifierGenerator_->generateSessionFragmentIdentifier(),
                                         timestampGenerator_->generateAnalyticsTimestamp()));
  });
}

void BBXAnalyticsController::packageClosedSessionFragments(Completion completion) {
  onMaintenanceQueue([this, completion] { completion(runPackageClosedSessionFragments()); });
}

platform::Result<std::vector<BBXAnalyticsController::URL>> BBXAnalyticsController::sessionFragmentDirectoryURLsForStateName(
    const std::string& state) {
  auto sessions = repository_.sessionDirectoryURLsForStateName(state);
  if (!sessions) return sessions.error();
  std::vector<URL> fragments;
  for (const auto& session : sessions.value()) {
    auto listed = repository_.sessionFragmentDirectoryURLsForSessionDirectory(session);
    if (!listed) return listed.error();
    fragments.insert(fragments.end(), listed.value().begin(), listed.value().end());
  }
  return fragments;
}

bool BBXAnalyticsController::isOpenSessionFragmentDirectoryURL(const URL& url) const {
  const auto current = currentSessionFragmentDirectoryURL();
  return current && url.lexically_normal() == current->lexically_normal();
}

platform::Status BBXAnalyticsController::runPackageClosedSessionFragments() {
  const auto pass = repository_.beginPass();
  if (auto purged = repository_.purgePrepSessionFragmentDirectoriesForStateName(kBBXEventLogPackagedStateName);
      !purged) {
    maintenanceDebugLog("Unable to purge packaged prep session fragments {error = " + purged.error().description() + "}");
  }
  auto fragments = sessionFragmentDirectoryURLsForStateName(kBBXEventLogActiveStateName);
  if (!fragments) return fragments.error();
  for (const auto& fragment : fragments.value()) {
    if (isOpenSessionFragmentDirectoryURL(fragment)) continue;
    auto prep = repository_.prepSessionFragmentDirectoryURLForStateName(kBBXEventLogPackagedStateName, fragment);
    if (!prep) return prep.error();
    if (auto packaged = packageLogsFromActiveSessionFragmentDirectoryURL(fragment, prep.value()); !packaged) {
      return packaged;
    }
    auto final = repository_.removePrepStatusFromSessionFragmentDirectoryURL(prep.value());
    if (!final) return final.error();
    if (auto removed = repository_.removeSessionFragmentDirectory(fragment); !removed) return removed;
  }
  return platform::Status::success();
}

platform::Status BBXAnalyticsController::packageLogsFromActiveSessionFragmentDirectoryURL(const URL& active,
                                                                                          const URL& packaged) {
  auto entries = repository_.contentsOfDirectoryURL(active);
  if (!entries) return entries.error();
  for (const auto& entry : entries.value()) {
    if (entry.extension() != ".log") continue;
    const URL target = packaged / (entry.filename().string() + ".zip");
    std::FILE* in = openOwnStream(entry, O_RDONLY, "r");
    // A link or a pipe among the logs is no log of ours and never will be:
    // it stays out, and the fragment goes without it.
    if (!in && platform::notOwnFile(errno)) {
      maintenanceDebugLog("Leaving out " + entry.string() + ", which is no log of the controller's own");
      continue;
    }
    std::FILE* out = in ? openOwnStream(target, O_RDWR | O_CREAT | O_TRUNC, "w+") : nullptr;
    const int compressed = out ? BBXAnalyticsCompressFile(in, out) : -1;
    if (in) std::fclose(in);
    if (out && std::fclose(out) != 0) return maintenanceError(0);
    if (compressed != 0) return maintenanceError(0);
  }
  return platform::Status::success();
}

// Upload.

void BBXAnalyticsController::transmitPackagedSessionFragments(Completion completion) {
  onMaintenanceQueue([this, completion] {
    if (!settings().url) return completion(maintenanceError(-2));
    if (sessionFragmentsToTransmit_) return completion(maintenanceError(-1));
    transmitPass_.emplace(repository_.beginPass());
    auto listed = sessionFragmentDirectoryURLsForStateName(kBBXEventLogPackagedStateName);
    sessionFragmentsToTransmit_.emplace();
    if (listed) sessionFragmentsToTransmit_->assign(listed.value().begin(), listed.value().end());
    transmitNextPackagedSessionFragment(completion);
  });
}

void BBXAnalyticsController::transmitNextPackagedSessionFragment(Completion completion) {
  if (!sessionFragmentsToTransmit_ || sessionFragmentsToTransmit_->empty()) {
    sessionFragmentsToTransmit_.reset();
    transmitPass_.reset();
    return completion(platform::Status::success());
  }
  const URL fragment = sessionFragmentsToTransmit_->front();
  maintenanceDebugLog("Transmitting packaged session fragments in " + fragment.string());
  auto files = repository_.logFileURLsForSessionFragmentDirectory(fragment);
  const auto url = settings().url;
  auto self = shared_from_this();
  networkingClient_->transmitLogFilesAtURLs(
      files ? files.value() : std::vector<URL>(), url.value_or(""), harbor_.APIKey().value_or(""),
      [self, fragment, completion](const platform::Status& sent) {
        self->onMaintenanceQueue([self, fragment, completion, sent] {
          if (sent) {
            if (auto removed = self->repository_.removeSessionFragmentDirectory(fragment); !removed) {
              maintenanceDebugLog("Unable to delete session fragment directory \"" + fragment.string() + "\" {" +
                                  removed.error().description() + "}");
            }
          }
          if (self->sessionFragmentsToTransmit_ && !self->sessionFragmentsToTransmit_->empty()) {
            self->sessionFragmentsToTransmit_->pop_front();
          }
          self->transmitNextPackagedSessionFragment(completion);
        });
      });
}

// Pruning and repair.

void BBXAnalyticsController::pruneSessionFragmentLogFiles(Completion completion) {
  onMaintenanceQueue([this, completion] { completion(runPruneSessionFragmentLogFiles()); });
}

std::vector<std::vector<BBXAnalyticsController::URL>>
BBXAnalyticsController::mutableSortedFileURLsGroupedByPrioritiesFromLogFileURLs(const std::vector<URL>& files) {
  std::vector<std::vector<URL>> groups;
  for (const auto& file : files) {
    const int priority = BBXEventLogSessionRepository::priorityForEventLogFileWithName(file.filename().string());
    if (priority < 0) continue;
    if (groups.size() <= static_cast<std::size_t>(priority)) groups.resize(static_cast<std::size_t>(priority) + 1);
    groups[static_cast<std::size_t>(priority)].push_back(file);
  }
  for (auto& group : groups) {
    std::sort(group.begin(), group.end(), [](const URL& a, const URL& b) { return a.string() < b.string(); });
  }
  return groups;
}

platform::Status BBXAnalyticsController::runPruneSessionFragmentLogFiles() {
  const auto values = settings();
  if (!values.haveSettings) return platform::Status::success();
  const std::uint64_t bound = values.maxPendingSendFileCount;
  const auto pass = repository_.beginPass();
  auto all = repository_.logFileURLsForAllStates();
  if (!all) return all.error();
  const auto current = currentSessionFragmentDirectoryURL();
  std::vector<URL> waiting;
  for (const auto& file : all.value()) {
    if (current && file.parent_path().lexically_normal() == current->lexically_normal()) continue;
    waiting.push_back(file);
  }
  std::uint64_t count = waiting.size();
  if (count <= bound) return platform::Status::success();
  auto groups = mutableSortedFileURLsGroupedByPrioritiesFromLogFileURLs(waiting);
  // Each group is taken from its front; `taken[p]` counts what is gone.
  std::vector<std::size_t> taken(groups.size(), 0);
  auto exhausted = [&](std::size_t p) { return taken[p] == groups[p].size(); };
  while (!groups.empty()) {
    const std::size_t last = groups.size() - 1;
    if (exhausted(last)) break;
    if (auto removed = repository_.removeLogFile(groups[last][taken[last]]); !removed) return removed;
    ++taken[last];
    while (!groups.empty() && exhausted(groups.size() - 1)) groups.pop_back();
    if (--count <= bound) return platform::Status::success();
  }
  return maintenanceError(-3);
}

void BBXAnalyticsController::cleanUpRepository(Completion completion) {
  onMaintenanceQueue([this, completion] {
    completion(repository_.cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(
        currentSessionFragmentDirectoryURL()));
  });
}

}  // namespace lumora
