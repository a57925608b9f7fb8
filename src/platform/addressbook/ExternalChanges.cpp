#include "platform/addressbook/ExternalChanges.h"

#include <map>
#include <system_error>

#include "platform/addressbook/Store.h"
#include "platform/app/Application.h"

namespace platform::addressbook::detail {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<ExternalChanges>> watches;
};

// Never destroyed: a handle may end on a background thread while the
// process exits.
Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

}  // namespace

std::string ExternalChanges::keyOf(const std::filesystem::path& path) {
  std::error_code ec;
  auto canonical = std::filesystem::weakly_canonical(path, ec);
  return (ec ? path : canonical).string();
}

std::shared_ptr<ExternalChanges> ExternalChanges::watch(const std::filesystem::path& path,
                                                        std::function<void()> notify) {
  const std::string key = keyOf(path);
  auto& r = registry();
  {
    std::lock_guard<std::mutex> guard(r.mutex);
    if (auto known = r.watches[key].lock()) return known;
  }
  // Opened without the registry's lock: opening may write (a new file), and
  // every write asks the registry.
  auto store = Store::open(path);
  if (!store) return nullptr;
  std::lock_guard<std::mutex> guard(r.mutex);
  if (auto known = r.watches[key].lock()) return known;
  std::shared_ptr<ExternalChanges> changes(new ExternalChanges(std::move(store).value(), std::move(notify)));
  std::weak_ptr<ExternalChanges> weak = changes;
  changes->activeObserver_ = NotificationCenter::defaultCenter().addObserver(
      kApplicationDidBecomeActiveNotification, [weak](const std::string&, const Json&) {
        if (auto self = weak.lock()) self->look(false);
      });
  FolderWatch::Options options;
  options.everyWrite = true;  // the store writes in place, into files it keeps open
  changes->watch_ = FolderWatch::start(path.parent_path(), std::move(options), [weak] {
    if (auto self = weak.lock()) self->look(true);
  });
  r.watches[key] = changes;
  return changes;
}

ExternalChanges::ExternalChanges(std::unique_ptr<Store> store, std::function<void()> notify)
    : store_(std::move(store)), notify_(std::move(notify)) {
  seen_ = store_->dataVersion();
}

ExternalChanges::~ExternalChanges() {
  if (activeObserver_ != 0) NotificationCenter::defaultCenter().removeObserver(activeObserver_);
  watch_.reset();
}

ExternalChanges::OwnWrite::OwnWrite(std::shared_ptr<ExternalChanges> changes)
    : changes_(std::move(changes)), lock_(changes_->mutex_) {}

void ExternalChanges::OwnWrite::committed() { changes_->seen_ = changes_->store_->dataVersion(); }

std::optional<ExternalChanges::OwnWrite> ExternalChanges::beginOwnWrite(const std::string& key) {
  std::shared_ptr<ExternalChanges> changes;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    auto found = r.watches.find(key);
    if (found == r.watches.end()) return std::nullopt;
    changes = found->second.lock();
    if (!changes) {
      r.watches.erase(found);
      return std::nullopt;
    }
  }
  return OwnWrite(std::move(changes));
}

void ExternalChanges::look(bool waitForWriter) {
  // Kept alive to the end: the last handle may let go inside notify_.
  auto self = shared_from_this();
  bool changed = false;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // Taking the write lock for a moment waits out a writer of another
    // process, whose commit is then in the version.
    if (waitForWriter && store_->begin()) store_->rollback();
    const std::int64_t version = store_->dataVersion();
    changed = version >= 0 && version != seen_;
    if (version >= 0) seen_ = version;
  }
  if (changed && notify_) notify_();
}

}  // namespace platform::addressbook::detail
