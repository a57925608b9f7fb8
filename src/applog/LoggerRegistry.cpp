#include "applog/LoggerRegistry.h"

#include <atomic>
#include <mutex>

namespace lumora {
namespace {

using LoggerList = std::vector<std::shared_ptr<Logger>>;

struct Registry {
  std::mutex mutex;
  std::shared_ptr<const LoggerList> loggers = std::make_shared<const LoggerList>();
  // Raised on every change; threads renew their snapshot when it moves.
  std::atomic<std::uint64_t> generation{1};
  std::atomic<std::size_t> count{0};
};

Registry& registry() {
  static Registry* instance = new Registry();  // lives as long as the process
  return *instance;
}

void replace(LoggerList list) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.count.store(list.size(), std::memory_order_release);
  r.loggers = std::make_shared<const LoggerList>(std::move(list));
  r.generation.fetch_add(1, std::memory_order_release);
}

// This thread's view of the logger list.
const LoggerList& snapshot() {
  struct Seen {
    std::uint64_t generation = 0;
    std::shared_ptr<const LoggerList> loggers;
  };
  thread_local Seen seen;
  Registry& r = registry();
  std::uint64_t now = r.generation.load(std::memory_order_acquire);
  if (seen.generation != now) {
    std::lock_guard<std::mutex> guard(r.mutex);
    seen.loggers = r.loggers;
    seen.generation = r.generation.load(std::memory_order_relaxed);
  }
  return *seen.loggers;
}

}  // namespace

void LoggerRegistry::addLogger(std::shared_ptr<Logger> logger) {
  if (!logger) return;
  LoggerList list = allLoggers();
  list.push_back(std::move(logger));
  replace(std::move(list));
}

void LoggerRegistry::removeAllLoggers() {
  // Lines already handed over are still written before the loggers go.
  flushLog();
  replace({});
}

std::vector<std::shared_ptr<Logger>> LoggerRegistry::allLoggers() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  return *r.loggers;
}

bool LoggerRegistry::hasLoggers() {
  return registry().count.load(std::memory_order_acquire) > 0;
}

void LoggerRegistry::log(bool asynchronous, std::uint32_t flag, int context, std::string_view file,
                         std::string_view function, std::uint64_t line, std::string_view message) {
  const LoggerList& loggers = snapshot();
  if (loggers.empty()) return;
  LogMessage entry;
  entry.timestamp = platform::Clock::currentTime();
  entry.flag = flag;
  entry.context = context;
  entry.file = file;
  entry.function = function;
  entry.line = line;
  entry.message = message;
  for (const auto& logger : loggers) logger->logMessage(entry);
  if (!asynchronous) {
    for (const auto& logger : loggers) logger->flush();
  }
}

void LoggerRegistry::flushLog() {
  for (const auto& logger : allLoggers()) logger->flush();
}

}  // namespace lumora
