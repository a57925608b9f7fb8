#include "platform/http/HandlePool.h"

#include <utility>

namespace platform::http::detail {

struct HandlePool::Entry {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  HandleState state;
};

void HandlePool::EntryDeleter::operator()(Entry* entry) const {
  if (entry->multi) curl_multi_cleanup(entry->multi);
  if (entry->easy) curl_easy_cleanup(entry->easy);
  delete entry;
}

HandlePool::Lease::Lease(HandlePool* pool, std::string origin, EntryPtr entry)
    : pool_(pool), origin_(std::move(origin)), entry_(std::move(entry)) {}

HandlePool::Lease::~Lease() {
  if (!entry_) return;
  if (!keep_ || !pool_) return;  // the deleter closes handles and connections
  // The options stay (the next transfer sets what differs) and so does the
  // multi handle's connection cache; the ended transfer's state goes.
  entry_->state.transfer = nullptr;
  pool_->giveBack(origin_, std::move(entry_));
}

CURL* HandlePool::Lease::easy() const { return entry_ ? entry_->easy : nullptr; }
CURLM* HandlePool::Lease::multi() const { return entry_ ? entry_->multi : nullptr; }
HandlePool::HandleState& HandlePool::Lease::state() const { return entry_->state; }

HandlePool& HandlePool::shared() {
  // Never destroyed: transfers on other threads may outlive static
  // destruction at exit.
  static auto* pool = new HandlePool();
  return *pool;
}

HandlePool::Lease HandlePool::take(const std::string& origin) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = idle_.find(origin);
    if (it != idle_.end() && !it->second.empty()) {
      EntryPtr entry = std::move(it->second.back());
      it->second.pop_back();
      if (it->second.empty()) idle_.erase(it);
      --idleCount_;
      return Lease(this, origin, std::move(entry));
    }
  }
  EntryPtr entry(new Entry());
  entry->easy = curl_easy_init();
  entry->multi = curl_multi_init();
  if (!entry->easy || !entry->multi) return Lease();
  return Lease(this, origin, std::move(entry));
}

void HandlePool::giveBack(const std::string& origin, EntryPtr entry) {
  EntryPtr dropped;  // closed outside the lock
  std::lock_guard<std::mutex> guard(mutex_);
  auto& list = idle_[origin];
  if (list.size() >= kMaxIdlePerOrigin || idleCount_ >= kMaxIdle) {
    dropped = std::move(entry);
    if (list.empty()) idle_.erase(origin);
    return;
  }
  list.push_back(std::move(entry));
  ++idleCount_;
}

void HandlePool::clear() {
  std::map<std::string, std::vector<EntryPtr>> dropped;
  std::lock_guard<std::mutex> guard(mutex_);
  dropped.swap(idle_);
  idleCount_ = 0;
}

std::size_t HandlePool::idleCount() {
  std::lock_guard<std::mutex> guard(mutex_);
  return idleCount_;
}

}  // namespace platform::http::detail
