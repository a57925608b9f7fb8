#include "account/QBPassportRequestMemoryHolder.h"

#include <mutex>

namespace lumora {
namespace {

struct Registry {
  std::mutex mutex;
  QBPassportRequestMemoryHolder::RequestSet set;
};

Registry& registry() {
  static auto& r = *new Registry();
  return r;
}

void add(const std::shared_ptr<void>& object) {
  if (!object) return;
  std::lock_guard<std::mutex> guard(registry().mutex);
  registry().set.insert(object);
}

void remove(const std::shared_ptr<void>& object) {
  if (!object) return;
  std::shared_ptr<void> released;  // destroyed after the lock is dropped
  {
    std::lock_guard<std::mutex> guard(registry().mutex);
    auto it = registry().set.find(object);
    if (it == registry().set.end()) return;
    released = *it;
    registry().set.erase(it);
  }
}

}  // namespace

QBPassportRequestMemoryHolder::RequestSet QBPassportRequestMemoryHolder::sharedRequestSet() {
  std::lock_guard<std::mutex> guard(registry().mutex);
  return registry().set;
}

bool QBPassportRequestMemoryHolder::contains(const std::shared_ptr<void>& object) {
  std::lock_guard<std::mutex> guard(registry().mutex);
  return registry().set.count(object) != 0;
}

std::size_t QBPassportRequestMemoryHolder::count() {
  std::lock_guard<std::mutex> guard(registry().mutex);
  return registry().set.size();
}

void QBPassportRequestMemoryHolder::addQBPassportRequest(const std::shared_ptr<QBPassportRequest>& request) {
  add(request);
}

void QBPassportRequestMemoryHolder::removeQBPassportRequest(
    const std::shared_ptr<QBPassportRequest>& request) {
  remove(request);
}

void QBPassportRequestMemoryHolder::addQBPassportCARequest(const std::shared_ptr<void>& request) {
  add(request);
}

void QBPassportRequestMemoryHolder::removeQBPassportCARequest(const std::shared_ptr<void>& request) {
  remove(request);
}

}  // namespace lumora
