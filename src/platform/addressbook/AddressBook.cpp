#include "platform/addressbook/AddressBook.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <tuple>
#include <utility>

#include "platform/storage/AppHome.h"
#include "platform/Bytes.h"
#include "platform/Random.h"
#include "platform/addressbook/BookState.h"

namespace platform::addressbook {

namespace {

using detail::BookState;
using detail::Node;
using Lock = std::lock_guard<std::recursive_mutex>;

constexpr const char* kAuthorizationKey = "authorization";
constexpr const char* kStoreMarkKey = "storeMark";
constexpr const char* kAccessAnswerKey = "accessAnswer";

// Open handles of this process, by store file, for the external-change
// callbacks.
struct Registry {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::weak_ptr<AddressBook>>> books;
};

// Never destroyed: a handle may still be opened or closed on a background
// thread while the process exits.
Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

std::string storeKey(const std::filesystem::path& path) { return detail::ExternalChanges::keyOf(path); }

std::string folded(const std::optional<std::string>& text) { return lowerCased(text.value_or("")); }

// The live records of one type: all of them, or those of `source` (none
// when it is no live source of this book); none without access.
std::vector<Record> liveRecords(const std::shared_ptr<BookState>& state, RecordType type, const Record* source) {
  Lock lock(state->mutex);
  state->refreshIfStale();
  if (!state->accessGranted()) return {};
  if (source && (!state->ownsLive(*source) || !source->isSource())) return {};
  std::vector<Record> out;
  for (const auto& n : state->liveNodes(type)) {
    if (!source || n->source == BookState::nodeOf(*source)) out.push_back(state->record(state, n));
  }
  return out;
}

// The live record of one type with `id`; an empty record without access.
Record liveRecord(const std::shared_ptr<BookState>& state, RecordId id, RecordType type) {
  Lock lock(state->mutex);
  // The staleness check and the record's rows take the file's lock once.
  BookState::ReadScope read(*state);
  state->refreshIfStale();
  if (!state->accessGranted()) return Record();
  auto node = state->liveById(id, type);
  return node ? state->record(state, node) : Record();
}

}  // namespace

std::filesystem::path AddressBook::storePath() {
  return AppHome::root() / "Library" / "AddressBook" / "AddressBook.sqlitedb";
}

bool AddressBook::isStoreDamaged() { return detail::Store::isDamaged(storePath()); }

Result<std::shared_ptr<AddressBook>> AddressBook::create() {
  auto path = storePath();
  auto state = BookState::open(path);
  if (!state) return state.error();
  {
    Lock lock((*state)->mutex);
    auto status = (*state)->authorization();
    if (status == AuthorizationStatus::Denied || status == AuthorizationStatus::Restricted) {
      return BookState::accessDenied();
    }
  }
  std::shared_ptr<AddressBook> book(new AddressBook(std::move(*state)));
  auto& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  std::erase_if(r.books, [](const auto& entry) { return entry.second.expired(); });
  r.books.emplace_back(storeKey(path), book);
  return book;
}

AddressBook::AddressBook(std::shared_ptr<detail::BookState> state) : state_(std::move(state)) {}

AddressBook::~AddressBook() = default;

AuthorizationStatus AddressBook::authorizationStatus() {
  auto store = detail::Store::open(storePath());
  if (!store) return AuthorizationStatus::NotDetermined;
  auto value = (*store)->meta(kAuthorizationKey);
  if (!value || !*value) return AuthorizationStatus::NotDetermined;
  int n = std::atoi((*value)->c_str());
  return n >= 0 && n <= 3 ? static_cast<AuthorizationStatus>(n) : AuthorizationStatus::NotDetermined;
}

Status AddressBook::setAuthorizationStatus(AuthorizationStatus status) {
  auto store = detail::Store::open(storePath());
  if (!store) return store.error();
  Status set = (*store)->setMeta(kAuthorizationKey, std::to_string(static_cast<int>(status)));
  detail::authorizationChanged();
  return set;
}

Status AddressBook::setAccessAnswer(bool grant) {
  auto store = detail::Store::open(storePath());
  if (!store) return store.error();
  return (*store)->setMeta(kAccessAnswerKey, grant ? "1" : "0");
}

void AddressBook::setWriteFault(WriteFault fault) { detail::installWriteFault(std::move(fault)); }

void AddressBook::requestAccess(const AccessCompletion& completion) {
  bool granted = false;
  std::optional<Error> error;
  {
    Lock lock(state_->mutex);
    auto status = state_->authorization();
    if (status == AuthorizationStatus::NotDetermined) {
      auto answer = state_->store().meta(kAccessAnswerKey);
      granted = !answer || !*answer || **answer != "0";
      auto next = granted ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied;
      if (auto st = state_->store().setMeta(kAuthorizationKey, std::to_string(static_cast<int>(next))); !st) {
        granted = false;
        error = st.error();
      }
      detail::authorizationChanged();
    } else {
      granted = status == AuthorizationStatus::Authorized;
    }
  }
  if (completion) completion(granted, std::move(error));
}

Result<std::string> AddressBook::storeMark() {
  Lock lock(state_->mutex);
  detail::Store& store = state_->store();
  auto mark = store.meta(kStoreMarkKey);
  if (mark && !*mark) {
    // Whoever stores a mark first (another handle, another process) sets it.
    if (auto st = store.addMeta(kStoreMarkKey, randomUUIDString()); !st) return st.error();
    mark = store.meta(kStoreMarkKey);
  }
  if (!mark) return mark.error();
  if (!*mark) return Error(kErrorDomain, kOperationNotPermittedByStoreError, Json::object());
  return **mark;
}

bool AddressBook::hasUnsavedChanges() const {
  Lock lock(state_->mutex);
  return state_->hasUnsavedChanges();
}

Status AddressBook::save() {
  {
    Lock lock(state_->mutex);
    if (!state_->accessGranted()) return BookState::accessDenied();
    if (!state_->hasUnsavedChanges()) return Status::success();
    if (auto st = state_->checkWrite(state_, WriteOperation::Save, nullptr); !st) return st;
    if (auto st = state_->save(); !st) return st;
  }
  notifyOtherHandles();
  return Status::success();
}

void AddressBook::revert() {
  Lock lock(state_->mutex);
  (void)state_->revert();
}

int AddressBook::registerExternalChangeCallback(ExternalChangeCallback callback) {
  std::shared_ptr<detail::ExternalChanges> external;
  {
    std::lock_guard<std::mutex> guard(callbacksMutex_);
    external = external_;
  }
  if (!external) {
    // Outside the lock: making the watch opens the store.
    external = detail::ExternalChanges::watch(
        state_->path, [key = storeKey(state_->path)] { notifyHandles(key, nullptr); });
  }
  std::lock_guard<std::mutex> guard(callbacksMutex_);
  if (!external_) external_ = std::move(external);
  int token = nextToken_++;
  callbacks_.emplace(token, std::move(callback));
  return token;
}

void AddressBook::unregisterExternalChangeCallback(int token) {
  std::shared_ptr<detail::ExternalChanges> last;
  std::lock_guard<std::mutex> guard(callbacksMutex_);
  callbacks_.erase(token);
  if (callbacks_.empty()) last = std::move(external_);
}

void AddressBook::notifyOtherHandles() { notifyHandles(storeKey(state_->path), this); }

void AddressBook::notifyHandles(const std::string& key, const AddressBook* except) {
  std::vector<std::shared_ptr<AddressBook>> others;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    for (const auto& [path, weak] : r.books) {
      auto book = weak.lock();
      if (book && book.get() != except && path == key) others.push_back(std::move(book));
    }
  }
  for (const auto& book : others) {
    std::vector<ExternalChangeCallback> callbacks;
    {
      std::lock_guard<std::mutex> guard(book->callbacksMutex_);
      for (const auto& [token, callback] : book->callbacks_) callbacks.push_back(callback);
    }
    for (const auto& callback : callbacks) {
      if (callback) callback(*book);
    }
  }
}

std::vector<Record> AddressBook::sources() {
  Lock lock(state_->mutex);
  state_->refreshIfStale();
  if (!state_->accessGranted()) return {};
  std::vector<Record> out;
  for (const auto& n : state_->liveNodes(RecordType::Source)) out.push_back(state_->record(state_, n));
  return out;
}

Record AddressBook::sourceWithId(RecordId id) {
  Lock lock(state_->mutex);
  state_->refreshIfStale();
  if (!state_->accessGranted()) return Record();
  auto node = state_->liveById(id, RecordType::Source);
  return node ? state_->record(state_, node) : Record();
}

Record AddressBook::defaultSource() {
  Lock lock(state_->mutex);
  if (Record local = sourceWithId(kLocalSourceId)) return local;
  auto all = sources();
  return all.empty() ? Record() : all.front();
}

Result<Record> AddressBook::addSource(std::optional<std::string> name, SourceKind kind) {
  Lock lock(state_->mutex);
  if (kind == SourceKind::Local) return BookState::notPermitted("The device has one local source.");
  if (auto st = state_->checkWrite(state_, WriteOperation::CreateRecord, nullptr); !st) return st.error();
  auto node = state_->addNode(RecordType::Source, nullptr);
  node->name = std::move(name);
  node->kind = kind;
  return state_->record(state_, node);
}

std::vector<Record> AddressBook::people() { return liveRecords(state_, RecordType::Person, nullptr); }

std::vector<Record> AddressBook::peopleInSource(const Record& source) {
  return liveRecords(state_, RecordType::Person, &source);
}

std::vector<Record> AddressBook::peopleInSource(const Record& source, SortOrdering ordering) {
  auto people = peopleInSource(source);
  using Key = std::tuple<std::string, std::string>;
  std::vector<std::pair<Key, Record>> keyed;
  keyed.reserve(people.size());
  for (auto& p : people) {
    auto first = p.stringValue(PersonProperty::FirstName);
    auto last = p.stringValue(PersonProperty::LastName);
    Key key = ordering == SortOrdering::ByLastName ? Key(folded(last), folded(first)) : Key(folded(first), folded(last));
    if (std::get<0>(key).empty() && std::get<1>(key).empty()) key = Key(folded(p.compositeName()), "");
    keyed.emplace_back(std::move(key), std::move(p));
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Record> out;
  for (auto& [key, record] : keyed) out.push_back(std::move(record));
  return out;
}

std::size_t AddressBook::personCount() { return people().size(); }

Record AddressBook::personWithId(RecordId id) { return liveRecord(state_, id, RecordType::Person); }

std::vector<Record> AddressBook::groups() { return liveRecords(state_, RecordType::Group, nullptr); }

std::vector<Record> AddressBook::groupsInSource(const Record& source) {
  return liveRecords(state_, RecordType::Group, &source);
}

Record AddressBook::groupWithId(RecordId id) { return liveRecord(state_, id, RecordType::Group); }

Result<Record> AddressBook::createPerson(const Record& source) {
  Lock lock(state_->mutex);
  if (!source.isSource() || !state_->ownsLive(source)) {
    return BookState::notPermitted("Not a source of this address book.");
  }
  const auto& sourceNode = BookState::nodeOf(source);
  if (auto st = state_->checkWrite(state_, WriteOperation::CreateRecord, sourceNode); !st) return st.error();
  return state_->record(state_, state_->addNode(RecordType::Person, sourceNode));
}

Result<Record> AddressBook::createGroup(const Record& source) {
  Lock lock(state_->mutex);
  if (!source.isSource() || !state_->ownsLive(source)) {
    return BookState::notPermitted("Not a source of this address book.");
  }
  const auto& sourceNode = BookState::nodeOf(source);
  if (sourceNode->kind == SourceKind::Exchange) return BookState::notPermitted("The source does not support groups.");
  if (auto st = state_->checkWrite(state_, WriteOperation::CreateRecord, sourceNode); !st) return st.error();
  return state_->record(state_, state_->addNode(RecordType::Group, sourceNode));
}

Status AddressBook::removeRecord(const Record& record) {
  Lock lock(state_->mutex);
  if (!state_->ownsLive(record)) return BookState::notPermitted("The record is not in the address book.");
  const auto& node = BookState::nodeOf(record);
  if (auto st = state_->checkWrite(state_, WriteOperation::RemoveRecord, node); !st) return st;
  state_->removeNode(node);
  return Status::success();
}

Status AddressBook::linkPeople(const Record& a, const Record& b) {
  Lock lock(state_->mutex);
  if (!a.isPerson() || !b.isPerson() || !state_->ownsLive(a) || !state_->ownsLive(b)) {
    return BookState::notPermitted("Only people of this address book can be linked.");
  }
  if (auto st = state_->checkWrite(state_, WriteOperation::Link, BookState::nodeOf(a)); !st) return st;
  state_->link(BookState::nodeOf(a), BookState::nodeOf(b));
  return Status::success();
}

Status AddressBook::unlinkPerson(const Record& person) {
  Lock lock(state_->mutex);
  if (!person.isPerson() || !state_->ownsLive(person)) {
    return BookState::notPermitted("The record is not a person of this address book.");
  }
  if (auto st = state_->checkWrite(state_, WriteOperation::Link, BookState::nodeOf(person)); !st) return st;
  state_->unlink(BookState::nodeOf(person));
  return Status::success();
}

}  // namespace platform::addressbook
