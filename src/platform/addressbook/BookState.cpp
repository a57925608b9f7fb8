#include "platform/addressbook/BookState.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "platform/dispatch/Clock.h"
#include "platform/addressbook/Codec.h"

namespace platform::addressbook::detail {

namespace {

using Json = nlohmann::json;

std::mutex& faultMutex() {
  static std::mutex m;
  return m;
}

// Never destroyed, as the handles' registry: writes may run while the
// process exits.
WriteFault& faultSlot() {
  static WriteFault* fault = new WriteFault();
  return *fault;
}

// Whether a fault hook is installed: writes skip the lock when none is.
std::atomic<bool>& faultInstalled() {
  static std::atomic<bool> installed{false};
  return installed;
}

std::atomic<std::uint64_t>& authorizationChanges() {
  static std::atomic<std::uint64_t> changes{1};
  return changes;
}

template <class T>
bool eraseOne(std::vector<T>& list, const T& item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

}  // namespace

void installWriteFault(WriteFault fault) {
  std::lock_guard<std::mutex> guard(faultMutex());
  faultInstalled() = static_cast<bool>(fault);
  faultSlot() = std::move(fault);
}

void authorizationChanged() { ++authorizationChanges(); }

Result<std::shared_ptr<BookState>> BookState::open(const std::filesystem::path& path) {
  auto store = Store::open(path);
  if (!store) return store.error();
  std::shared_ptr<BookState> state(new BookState(path, std::move(*store)));
  std::lock_guard<std::recursive_mutex> guard(state->mutex);
  state->dataVersion_ = state->store_->dataVersion();
  return state;
}

BookState::BookState(std::filesystem::path p, std::unique_ptr<Store> store) : path(std::move(p)), store_(std::move(store)) {}

Error BookState::accessDenied() {
  return Error(kErrorDomain, kOperationNotPermittedByUserError,
               Json{{Error::kLocalizedDescriptionKey, "The user has not granted access to the address book."}});
}

Error BookState::notPermitted(const std::string& why) {
  return Error(kErrorDomain, kOperationNotPermittedByStoreError, Json{{Error::kLocalizedDescriptionKey, why}});
}

AuthorizationStatus BookState::authorization() {
  const std::uint64_t changes = authorizationChanges();
  if (authorization_ && authorizationSeen_ == changes) return *authorization_;
  AuthorizationStatus status = AuthorizationStatus::NotDetermined;
  if (auto value = store_->meta("authorization"); value && *value) {
    int n = std::atoi((*value)->c_str());
    if (n >= 0 && n <= 3) status = static_cast<AuthorizationStatus>(n);
  }
  authorization_ = status;
  authorizationSeen_ = changes;
  return status;
}

Status BookState::checkWrite(const std::shared_ptr<BookState>& self, WriteOperation operation,
                             const std::shared_ptr<Node>& node, std::optional<PersonProperty> property) {
  if (!accessGranted()) return accessDenied();
  if (!faultInstalled()) return Status::success();
  WriteFault fault;
  {
    std::lock_guard<std::mutex> guard(faultMutex());
    fault = faultSlot();
  }
  if (fault) {
    WriteAttempt attempt{operation, node ? Record(self, node) : Record(), property};
    if (auto error = fault(attempt)) return *error;
  }
  return Status::success();
}

bool BookState::ownsLive(const Record& r) const {
  if (!r.node_ || r.book_.get() != this || !r.node_->live) return false;
  return true;
}

bool BookState::hasUnsavedChanges() const {
  if (!removed_.empty()) return true;
  for (const auto& op : linkOps_) {
    if (op.a->live && (!op.link || op.b->live)) return true;
  }
  for (const auto& n : edited_) {
    if (n->live && n->hasEdits()) return true;
  }
  return false;
}

void BookState::noteEdit(const std::shared_ptr<Node>& node) {
  if (node->noted) return;
  node->noted = true;
  edited_.push_back(node);
}

void BookState::forgetEdits() {
  for (const auto& n : edited_) {
    n->noted = false;
    n->isNew = false;
    n->clearEdits();
  }
  edited_.clear();
  removed_.clear();
  linkOps_.clear();
}

// ---- Loading ----

template <class SourceOf>
void BookState::fill(Node& node, const Store::Row& row, const SourceOf& sourceOf) {
  node.id = row.id;
  node.live = true;
  node.values.clear();
  node.members.clear();
  node.source.reset();
  node.name.reset();
  node.hasImage = row.hasImage;
  node.imageLoaded = false;
  node.image.reset();
  node.linkTag = row.link;
  const Json data = row.data();
  if (row.type == RecordType::Person) {
    if (auto values = data.find("values"); values != data.end() && values->is_object()) {
      node.values.reserve(values->size());
      for (auto it = values->begin(); it != values->end(); ++it) {
        auto property = propertyNamed(it.key());
        if (!property) continue;
        if (auto decoded = decodeValue(*property, it.value())) node.values.emplace(*property, std::move(*decoded));
      }
    }
  } else {
    if (auto name = data.find("name"); name != data.end() && name->is_string()) {
      node.name = name->get<std::string>();
    }
    if (auto kind = data.find("kind");
        row.type == RecordType::Source && kind != data.end() && kind->is_number_integer()) {
      node.kind = static_cast<SourceKind>(kind->get<int>());
    }
  }
  if (row.type != RecordType::Source) {
    // People and groups whose source is gone are not part of the view.
    std::shared_ptr<Node> source = sourceOf(row.source);
    if (source && source->type == RecordType::Source && source->live) {
      node.source = std::move(source);
    } else {
      node.live = false;
    }
  }
}

std::shared_ptr<Node> BookState::load(RecordId id) {
  if (auto it = byId_.find(id); it != byId_.end()) return it->second;
  if (complete_ || id == kInvalidRecordId) return nullptr;
  auto row = store_->loadRecord(id);
  if (!row || !*row) return nullptr;
  auto node = std::make_shared<Node>();
  node->type = (*row)->type;
  byId_.emplace(id, node);  // before its source and members, which may lead back here
  fill(*node, **row, [this](RecordId source) { return load(source); });
  if (node->type == RecordType::Group && node->live) {
    if (auto members = store_->members(id)) {
      for (RecordId member : *members) {
        auto person = load(member);
        if (person && person->type == RecordType::Person) node->members.push_back(std::move(person));
      }
    }
  }
  if (!node->live) {
    byId_.erase(id);
    return nullptr;
  }
  return node;
}

Status BookState::loadSources() {
  if (complete_ || sourcesComplete_) return Status::success();
  auto rows = store_->loadSources();
  if (!rows) return rows.error();
  for (const auto& row : *rows) {
    if (byId_.count(row.id)) continue;
    auto node = std::make_shared<Node>();
    node->type = RecordType::Source;
    fill(*node, row, [](RecordId) { return nullptr; });
    byId_.emplace(row.id, std::move(node));
  }
  sourcesComplete_ = true;
  return Status::success();
}

Status BookState::loadAll() {
  if (complete_) return Status::success();
  auto snap = store_->load();
  if (!snap) return snap.error();
  // Records loaded before keep their node and state; the rest are added.
  std::map<RecordId, const Store::Row*> fresh;
  for (const auto& row : snap->rows) {
    if (byId_.count(row.id)) continue;
    auto node = std::make_shared<Node>();
    node->type = row.type;
    byId_.emplace(row.id, std::move(node));
    fresh.emplace(row.id, &row);
  }
  auto sourceOf = [this](RecordId id) {
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
  };
  for (bool sources : {true, false}) {
    for (const auto& [id, row] : fresh) {
      if ((row->type == RecordType::Source) == sources) fill(*byId_[id], *row, sourceOf);
    }
  }
  for (const auto& [groupId, personId] : snap->members) {
    if (!fresh.count(groupId)) continue;
    auto g = byId_.find(groupId);
    auto p = byId_.find(personId);
    if (p == byId_.end() || g->second->type != RecordType::Group || p->second->type != RecordType::Person) continue;
    g->second->members.push_back(p->second);
  }
  byId_.eraseIf([&](const auto& entry) { return fresh.count(entry.first) && !entry.second->live; });
  complete_ = sourcesComplete_ = true;
  return Status::success();
}

Status BookState::reload() {
  // Read the version first: a commit that lands during the load is picked
  // up by the next refresh.
  std::int64_t version = store_->dataVersion();
  for (const auto& n : created_) {
    n->live = false;
    n->isNew = false;
  }
  created_.clear();
  forgetEdits();
  if (complete_) {
    // Everything again in one read.
    auto snap = store_->load();
    if (!snap) return snap.error();
    std::map<RecordId, std::shared_ptr<Node>> fresh;
    for (const auto& row : snap->rows) {
      auto it = byId_.find(row.id);
      auto node = it != byId_.end() && it->second->type == row.type ? it->second : std::make_shared<Node>();
      node->type = row.type;  // ids are never reused, so the type never changes
      fresh.emplace(row.id, node);
    }
    for (const auto& [id, node] : byId_) {
      if (!fresh.count(id)) node->live = false;
    }
    auto sourceOf = [&fresh](RecordId id) {
      auto it = fresh.find(id);
      return it == fresh.end() ? nullptr : it->second;
    };
    for (bool sources : {true, false}) {
      for (const auto& row : snap->rows) {
        if ((row.type == RecordType::Source) == sources) fill(*fresh[row.id], row, sourceOf);
      }
    }
    for (const auto& [groupId, personId] : snap->members) {
      auto g = fresh.find(groupId);
      auto p = fresh.find(personId);
      if (g == fresh.end() || p == fresh.end()) continue;
      if (g->second->type != RecordType::Group || p->second->type != RecordType::Person) continue;
      g->second->members.push_back(p->second);
    }
    std::erase_if(fresh, [](const auto& entry) { return !entry.second->live; });
    byId_ = std::move(fresh);
  } else {
    // Only what was loaded, record by record: sources first.
    std::vector<std::shared_ptr<Node>> loaded;
    for (const auto& [id, node] : byId_) loaded.push_back(node);
    std::stable_partition(loaded.begin(), loaded.end(),
                          [](const auto& n) { return n->type == RecordType::Source; });
    for (const auto& node : loaded) {
      auto row = store_->loadRecord(node->id);
      if (!row) return row.error();
      if (!*row || (*row)->type != node->type) {
        node->live = false;
      } else {
        fill(*node, **row, [this](RecordId source) { return load(source); });
      }
      if (node->type == RecordType::Group && node->live) {
        auto members = store_->members(node->id);
        if (!members) return members.error();
        for (RecordId member : *members) {
          auto person = load(member);
          if (person && person->type == RecordType::Person) node->members.push_back(std::move(person));
        }
      }
    }
    byId_.eraseIf([](const auto& entry) { return !entry.second->live; });
    sourcesComplete_ = false;  // sources added elsewhere are read with the next list
  }
  dataVersion_ = version;
  return Status::success();
}

Status BookState::revert() {
  if (created_.empty() && edited_.empty() && removed_.empty() && linkOps_.empty() &&
      store_->dataVersion() == dataVersion_) {
    return Status::success();
  }
  return reload();
}

void BookState::refreshIfStale() {
  std::int64_t version = store_->dataVersion();
  if (version == dataVersion_) return;
  authorization_.reset();  // another connection may have changed it
  if (hasUnsavedChanges()) return;
  // On failure the handle keeps its last view.
  (void)reload();
}

// ---- Saving ----

Status BookState::writeNew(Node& node, const Json& now, std::map<RecordId, bool>& sources) {
  Json data = Json::object();
  std::optional<Bytes> image;
  if (node.type == RecordType::Person) {
    Json values = Json::object();
    for (const auto& [property, value] : node.values) values[std::string(propertyName(property))] = encodeValue(value);
    values[std::string(propertyName(PersonProperty::CreationDate))] = now;
    values[std::string(propertyName(PersonProperty::ModificationDate))] = now;
    data["values"] = std::move(values);
    if (node.hasImage) {
      if (auto loaded = loadImage(node); loaded && *loaded) image = **loaded;
    }
  } else {
    if (node.name) data["name"] = *node.name;
    if (node.type == RecordType::Source) data["kind"] = static_cast<int>(node.kind);
  }
  RecordId source = node.source ? node.source->id : kInvalidRecordId;
  if (node.type != RecordType::Source) {
    // The source may have been removed through another handle: the new
    // record then goes with it.
    auto known = sources.find(source);
    if (known == sources.end()) {
      auto sourceData = store_->recordData(source);
      if (!sourceData) return sourceData.error();
      known = sources.emplace(source, sourceData->has_value()).first;
    }
    if (!known->second) return Status::success();
  }
  auto id = store_->insertRecord(node.type, source, data, image);
  if (!id) return id.error();
  node.id = *id;
  return Status::success();
}

Status BookState::writeEdits(Node& node, const Json& now) {
  if (node.type == RecordType::Person && (!node.dirty.empty() || node.imageDirty)) {
    auto data = store_->recordData(node.id);
    if (!data) return data.error();
    if (!*data) return Status::success();  // removed through another handle: stays removed
    Json& stored = **data;
    if (!stored.contains("values") || !stored["values"].is_object()) stored["values"] = Json::object();
    for (int p = 0; p <= static_cast<int>(PersonProperty::SocialProfile); ++p) {
      const auto property = static_cast<PersonProperty>(p);
      if (!node.dirty.contains(property)) continue;
      std::string key(propertyName(property));
      auto it = node.values.find(property);
      if (it == node.values.end()) {
        stored["values"].erase(key);
      } else {
        stored["values"][key] = encodeValue(it->second);
      }
    }
    stored["values"][std::string(propertyName(PersonProperty::ModificationDate))] = now;
    if (auto st = store_->updateData(node.id, stored); !st) return st;
    if (node.imageDirty) {
      if (auto st = store_->updateImage(node.id, node.hasImage ? node.image : std::nullopt); !st) return st;
    }
  }
  if (node.type == RecordType::Group && node.nameDirty) {
    auto data = store_->recordData(node.id);
    if (!data) return data.error();
    if (!*data) return Status::success();
    if (node.name) {
      (**data)["name"] = *node.name;
    } else {
      (**data).erase("name");
    }
    if (auto st = store_->updateData(node.id, **data); !st) return st;
  }
  return Status::success();
}

Status BookState::save() {
  if (!hasUnsavedChanges()) return Status::success();
  auto stamp = std::chrono::time_point_cast<std::chrono::microseconds>(Clock::current()->now());
  Json now = stamp.time_since_epoch().count();

  if (auto st = store_->begin(); !st) return st;
  // Whether the view still is the store (nobody else committed since it
  // was read): then it needs no reload after the save.
  const bool viewCurrent = store_->dataVersion() == dataVersion_ && linkOps_.empty();
  std::vector<std::shared_ptr<Node>> inserted;
  auto fail = [&](const Error& error) -> Status {
    store_->rollback();
    for (const auto& n : inserted) n->id = kInvalidRecordId;
    return error;
  };

  // New records: sources first, so that people and groups created in a new
  // source can name it.
  std::map<RecordId, bool> sources;
  for (bool wantSources : {true, false}) {
    for (const auto& n : created_) {
      if (!n->live || (n->type == RecordType::Source) != wantSources) continue;
      if (auto st = writeNew(*n, now, sources); !st) return fail(st.error());
      if (n->id != kInvalidRecordId) inserted.push_back(n);
    }
  }
  for (const auto& n : edited_) {
    if (!n->live || n->isNew) continue;
    if (auto st = writeEdits(*n, now); !st) return fail(st.error());
  }
  // Members after the inserts, since new people are members by their new ids.
  for (const auto& n : edited_) {
    if (!n->live || n->type != RecordType::Group) continue;
    if (!n->isNew) {
      for (const auto& p : n->removedMembers) {
        if (p->id == kInvalidRecordId) continue;
        if (auto st = store_->removeMember(n->id, p->id); !st) return fail(st.error());
      }
    }
    for (const auto& p : n->isNew ? n->members : n->addedMembers) {
      if (!p->live || p->id == kInvalidRecordId) continue;
      if (auto st = store_->addMember(n->id, p->id); !st) return fail(st.error());
    }
  }
  for (const auto& n : removed_) {
    if (auto st = store_->deleteRecord(n->id); !st) return fail(st.error());
  }
  for (const auto& op : linkOps_) {
    if (!op.a->live || op.a->id == kInvalidRecordId) continue;
    Status st = Status::success();
    if (!op.link) {
      st = store_->unlink(op.a->id);
    } else if (op.b->live && op.b->id != kInvalidRecordId) {
      st = store_->link(op.a->id, op.b->id);
    }
    if (!st) return fail(st.error());
  }
  if (auto st = store_->commit(); !st) {
    for (const auto& n : inserted) n->id = kInvalidRecordId;
    return st;
  }
  // Committed: the edits are stored whatever happens next. A failed reload
  // only leaves the view as it was (without the new dates).
  if (viewCurrent) {
    settleSaved(now);
    return Status::success();
  }
  for (const auto& n : inserted) byId_[n->id] = n;
  for (const auto& n : created_) {
    if (n->id == kInvalidRecordId) n->live = false;
  }
  created_.clear();
  forgetEdits();
  (void)reload();
  return Status::success();
}

void BookState::settleSaved(const Json& now) {
  const auto date = decodeValue(PersonProperty::ModificationDate, now);
  for (const auto& n : created_) {
    if (!n->live) continue;
    if (n->id == kInvalidRecordId) {
      n->live = false;  // its source went meanwhile
      continue;
    }
    if (n->type == RecordType::Person && date) {
      n->values.insert_or_assign(PersonProperty::CreationDate, *date);
      n->values.insert_or_assign(PersonProperty::ModificationDate, *date);
    }
    byId_.emplace(n->id, n);
  }
  created_.clear();
  for (const auto& n : edited_) {
    if (!n->live || n->type != RecordType::Person) continue;
    if ((n->isNew || !n->dirty.empty() || n->imageDirty) && date) {
      n->values.insert_or_assign(PersonProperty::ModificationDate, *date);
    }
    if (n->hasImage) {
      n->image.reset();  // stored now: read again when asked for
      n->imageLoaded = false;
    }
  }
  for (const auto& n : removed_) byId_.erase(n->id);
  forgetEdits();
}

// ---- The view ----

std::vector<std::shared_ptr<Node>> BookState::liveNodes(RecordType type) {
  (void)(type == RecordType::Source ? loadSources() : loadAll());
  std::vector<std::shared_ptr<Node>> out;
  for (const auto& [id, n] : byId_) {
    if (n->live && n->type == type) out.push_back(n);
  }
  for (const auto& n : created_) {
    if (n->live && n->type == type) out.push_back(n);
  }
  return out;
}

std::shared_ptr<Node> BookState::liveById(RecordId id, RecordType type) {
  if (id == kInvalidRecordId) return nullptr;
  auto node = load(id);
  if (!node || !node->live || node->type != type) return nullptr;
  return node;
}

std::shared_ptr<Node> BookState::addNode(RecordType type, std::shared_ptr<Node> source) {
  auto node = std::make_shared<Node>();
  node->type = type;
  node->source = std::move(source);
  node->live = true;
  node->isNew = true;
  node->imageLoaded = true;
  created_.push_back(node);
  noteEdit(node);
  return node;
}

void BookState::removeNode(const std::shared_ptr<Node>& node) {
  if (node->type == RecordType::Source) {
    (void)loadAll();  // its people and groups go with it
    for (const auto& n : liveNodes(RecordType::Person)) {
      if (n->source == node) removeNode(n);
    }
    for (const auto& n : liveNodes(RecordType::Group)) {
      if (n->source == node) removeNode(n);
    }
  }
  if (node->type == RecordType::Person) {
    // Groups not loaded yet read their members later, without this person.
    std::vector<std::shared_ptr<Node>> groups;
    for (const auto& n : created_) {
      if (n->live && n->type == RecordType::Group) groups.push_back(n);
    }
    for (const auto& [id, n] : byId_) {
      if (n->live && n->type == RecordType::Group) groups.push_back(n);
    }
    for (const auto& g : groups) removeMember(g, node);
  }
  node->live = false;
  if (!node->isNew) removed_.push_back(node);
  node->clearEdits();
  node->isNew = false;
}

void BookState::addMember(const std::shared_ptr<Node>& group, const std::shared_ptr<Node>& person) {
  if (std::find(group->members.begin(), group->members.end(), person) != group->members.end()) return;
  group->members.push_back(person);
  if (group->isNew) return;
  if (!eraseOne(group->removedMembers, person)) group->addedMembers.push_back(person);
  noteEdit(group);
}

void BookState::removeMember(const std::shared_ptr<Node>& group, const std::shared_ptr<Node>& person) {
  if (!eraseOne(group->members, person)) return;
  if (group->isNew) return;
  if (!eraseOne(group->addedMembers, person)) group->removedMembers.push_back(person);
  noteEdit(group);
}

void BookState::link(const std::shared_ptr<Node>& a, const std::shared_ptr<Node>& b) {
  if (a == b) return;
  (void)loadAll();  // every member of both sets takes the joined tag
  std::int64_t ta = a->linkTag;
  std::int64_t tb = b->linkTag;
  if (ta != 0 && tb != 0) {
    if (ta != tb) {
      for (const auto& n : liveNodes(RecordType::Person)) {
        if (n->linkTag == tb) n->linkTag = ta;
      }
    }
  } else if (ta != 0) {
    b->linkTag = ta;
  } else if (tb != 0) {
    a->linkTag = tb;
  } else {
    a->linkTag = b->linkTag = nextLinkTag_++;
  }
  linkOps_.push_back(LinkOp{true, a, b});
}

void BookState::unlink(const std::shared_ptr<Node>& person) {
  if (person->linkTag == 0) return;
  person->linkTag = 0;
  linkOps_.push_back(LinkOp{false, person, nullptr});
}

Result<std::optional<Bytes>> BookState::loadImage(Node& node) {
  if (!node.hasImage) return std::optional<Bytes>();
  if (!node.imageLoaded) {
    if (node.id == kInvalidRecordId) return std::optional<Bytes>();
    auto loaded = store_->loadImage(node.id);
    if (!loaded) return loaded.error();
    node.image = std::move(*loaded);
    node.imageLoaded = true;
  }
  return node.image;
}

}  // namespace platform::addressbook::detail
