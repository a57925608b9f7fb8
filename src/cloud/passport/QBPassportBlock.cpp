#include "cloud/passport/QBPassportBlock.h"

#include <map>
#include <mutex>

namespace lumora {

namespace {
using Table = std::map<std::weak_ptr<QBPassport>, QBPassportResultBlock,
                       std::owner_less<std::weak_ptr<QBPassport>>>;

std::mutex& tableMutex() {
  static std::mutex mutex;
  return mutex;
}

Table& table() {
  static auto* blocks = new Table();
  return *blocks;
}

// Drops the callbacks of passports that have died. Call with the lock held.
void purgeLocked() {
  for (auto it = table().begin(); it != table().end();) {
    it = it->first.expired() ? table().erase(it) : std::next(it);
  }
}
}  // namespace

void setResultBlock(const std::shared_ptr<QBPassport>& passport, QBPassportResultBlock block) {
  if (!passport) return;
  std::lock_guard lock(tableMutex());
  purgeLocked();
  std::weak_ptr<QBPassport> key = passport;
  if (block) table()[key] = std::move(block);
  else table().erase(key);
}

QBPassportResultBlock resultBlock(const std::shared_ptr<QBPassport>& passport) {
  if (!passport) return {};
  std::lock_guard lock(tableMutex());
  auto it = table().find(std::weak_ptr<QBPassport>(passport));
  return it == table().end() ? QBPassportResultBlock() : it->second;
}

QBPassportResultBlock takeResultBlock(const std::shared_ptr<QBPassport>& passport) {
  if (!passport) return {};
  std::lock_guard lock(tableMutex());
  auto it = table().find(std::weak_ptr<QBPassport>(passport));
  if (it == table().end()) return {};
  QBPassportResultBlock block = std::move(it->second);
  table().erase(it);
  return block;
}

}  // namespace lumora
