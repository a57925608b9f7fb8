#include "cloud/sync/LMSync.h"

#include <map>
#include <mutex>
#include <utility>

namespace lumora {
namespace {

struct Tag {
  std::weak_ptr<platform::Operation> operation;
  bool inBackground = false;
};

std::mutex& tagMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<const platform::Operation*, Tag>& tags() {
  static auto* table = new std::map<const platform::Operation*, Tag>();
  return *table;
}

}  // namespace

bool inBackground(const platform::Operation& operation) {
  std::lock_guard<std::mutex> guard(tagMutex());
  auto it = tags().find(&operation);
  if (it == tags().end()) return false;
  auto alive = it->second.operation.lock();
  return alive.get() == &operation && it->second.inBackground;
}

void setInBackground(const std::shared_ptr<platform::Operation>& operation, bool value) {
  if (!operation) return;
  std::lock_guard<std::mutex> guard(tagMutex());
  auto& table = tags();
  for (auto it = table.begin(); it != table.end();) {
    if (it->second.operation.expired()) {
      it = table.erase(it);
    } else {
      ++it;
    }
  }
  table[operation.get()] = Tag{operation, value};
}

}  // namespace lumora
