#include "platform/app/BackgroundTask.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

#include "platform/dispatch/Clock.h"

namespace platform {
namespace {

struct Running {
  std::string name;
  BackgroundTask::ExpirationHandler handler;
  Clock::SteadyTimePoint began;
};

struct Table {
  std::mutex mutex;
  BackgroundTask::Identifier next = 1;
  double allowance = BackgroundTask::kDefaultTimeAllowance;
  // Identifiers grow, so the map keeps the tasks oldest first.
  std::map<BackgroundTask::Identifier, Running> running;
};

Table& table() {
  static auto* instance = new Table();
  return *instance;
}

}  // namespace

BackgroundTask::Identifier BackgroundTask::begin(const std::string& name,
                                                 ExpirationHandler expirationHandler) {
  auto& t = table();
  auto now = Clock::current()->steadyNow();
  std::lock_guard<std::mutex> guard(t.mutex);
  Identifier identifier = t.next++;
  t.running.emplace(identifier, Running{name, std::move(expirationHandler), now});
  return identifier;
}

void BackgroundTask::end(Identifier identifier) {
  if (identifier == kInvalid) return;
  auto& t = table();
  ExpirationHandler released;
  {
    std::lock_guard<std::mutex> guard(t.mutex);
    auto it = t.running.find(identifier);
    if (it == t.running.end()) return;
    // Destroyed outside the lock: the handler may hold what ends tasks.
    released = std::move(it->second.handler);
    t.running.erase(it);
  }
}

double BackgroundTask::timeRemaining() {
  auto& t = table();
  auto now = Clock::current()->steadyNow();
  std::lock_guard<std::mutex> guard(t.mutex);
  if (t.running.empty()) return std::numeric_limits<double>::infinity();
  double elapsed = std::chrono::duration<double>(now - t.running.begin()->second.began).count();
  return std::max(0.0, t.allowance - elapsed);
}

void BackgroundTask::setTimeAllowance(double seconds) {
  auto& t = table();
  std::lock_guard<std::mutex> guard(t.mutex);
  t.allowance = seconds;
}

std::size_t BackgroundTask::runningCount() {
  auto& t = table();
  std::lock_guard<std::mutex> guard(t.mutex);
  return t.running.size();
}

std::vector<std::string> BackgroundTask::runningNames() {
  auto& t = table();
  std::lock_guard<std::mutex> guard(t.mutex);
  std::vector<std::string> names;
  for (const auto& [identifier, task] : t.running) names.push_back(task.name);
  return names;
}

std::size_t BackgroundTask::expireAll() {
  auto& t = table();
  std::vector<std::pair<Identifier, ExpirationHandler>> expiring;
  {
    std::lock_guard<std::mutex> guard(t.mutex);
    for (const auto& [identifier, task] : t.running) expiring.emplace_back(identifier, task.handler);
  }
  for (auto& [identifier, handler] : expiring) {
    if (handler) handler();
  }
  // The handlers in `expiring` hold copies: none is destroyed under the lock.
  std::lock_guard<std::mutex> guard(t.mutex);
  std::size_t leftRunning = 0;
  for (const auto& [identifier, handler] : expiring) leftRunning += t.running.erase(identifier);
  return leftRunning;
}

void BackgroundTask::resetForTesting() {
  auto& t = table();
  std::map<Identifier, Running> dropped;
  std::lock_guard<std::mutex> guard(t.mutex);
  dropped.swap(t.running);
  t.allowance = kDefaultTimeAllowance;
}

}  // namespace platform
