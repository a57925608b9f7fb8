#include "platform/addressbook/BookState.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/Clock.h"
#include "platform/addressbook/Codec.h"

namespace platform::addressbook::detail {

namespace {

using Json = nlohmann::json;

std::mutex& faultMutex() {
  static std::mutex m;
  return m;
}

WriteFault& faultSlot() {
  static WriteFault fault;
  return fault;
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
  faultSlot() = std::move(fault);
}

Result<std::shared_ptr<BookState>> BookState::open(const std::filesystem::path& path) {
  auto store = Store::open(path);
  if (!store) return store.error();
  std::shared_ptr<BookState> state(new BookState(path, std::move(*store)));
  std::lock_guard<std::recursive_mutex> guard(state->mutex);
  if (auto st = state->reload(); !st) return st.error();
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
  auto value = store_->meta("authorization");
  if (!value || !*value) return AuthorizationStatus::NotDetermined;
  int n = std::atoi((*value)->c_str());
  if (n < 0 || n > 3) return AuthorizationStatus::NotDetermined;
  return static_cast<AuthorizationStatus>(n);
}

Status BookState::checkWrite(const std::shared_ptr<BookState>& self, WriteOperation operation,
                             const std::shared_ptr<Node>& node, std::optional<PersonProperty> property) {
  if (!accessGranted()) return accessDenied();
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
  for (const auto& n : nodes_) {
    if (n->live && n->hasEdits()) return true;
  }
  return false;
}

Status BookState::reload() {
  // Read the version first: a commit that lands during the load is picked
  // up by the next refresh.
  std::int64_t version = store_->dataVersion();
  auto snap = store_->load();
  if (!snap) return snap.error();

  for (const auto& n : nodes_) {
    n->live = false;
    n->isNew = false;
    n->clearEdits();
  }
  std::map<RecordId, std::shared_ptr<Node>> fresh;
  std::vector<std::shared_ptr<Node>> order;
  for (auto& row : snap->rows) {
    auto it = byId_.find(row.id);
    std::shared_ptr<Node> node;
    if (it != byId_.end() && it->second->type == row.type) {
      node = it->second;  // ids are never reused, so the type never changes
    } else {
      node = std::make_shared<Node>();
      node->type = row.type;
    }
    node->id = row.id;
    node->live = true;
    node->values.clear();
    node->members.clear();
    node->source.reset();
    node->name.reset();
    node->hasImage = row.hasImage;
    node->imageLoaded = false;
    node->image.reset();
    node->linkTag = row.link;
    if (row.type == RecordType::Person) {
      if (auto values = row.data.find("values"); values != row.data.end() && values->is_object()) {
        for (int p = 0; p <= static_cast<int>(PersonProperty::SocialProfile); ++p) {
          auto property = static_cast<PersonProperty>(p);
          auto v = values->find(std::string(propertyName(property)));
          if (v == values->end()) continue;
          if (auto decoded = decodeValue(property, *v)) node->values.emplace(property, std::move(*decoded));
        }
      }
    } else {
      if (auto name = row.data.find("name"); name != row.data.end() && name->is_string()) {
        node->name = name->get<std::string>();
      }
      if (auto kind = row.data.find("kind"); row.type == RecordType::Source && kind != row.data.end() &&
                                               kind->is_number_integer()) {
        node->kind = static_cast<SourceKind>(kind->get<int>());
      }
    }
    fresh[row.id] = node;
    order.push_back(node);
  }
  // People and groups whose source is gone are not part of the view.
  for (const auto& row : snap->rows) {
    if (row.type == RecordType::Source) continue;
    auto source = fresh.find(row.source);
    auto& node = fresh[row.id];
    if (source != fresh.end() && source->second->type == RecordType::Source) {
      node->source = source->second;
    } else {
      node->live = false;
      fresh.erase(row.id);
    }
  }
  std::erase_if(order, [](const auto& n) { return !n->live; });
  for (const auto& [groupId, personId] : snap->members) {
    auto g = fresh.find(groupId);
    auto p = fresh.find(personId);
    if (g == fresh.end() || p == fresh.end()) continue;
    if (g->second->type != RecordType::Group || p->second->type != RecordType::Person) continue;
    g->second->members.push_back(p->second);
  }
  byId_ = std::move(fresh);
  nodes_ = std::move(order);
  removed_.clear();
  linkOps_.clear();
  dataVersion_ = version;
  return Status::success();
}

void BookState::refreshIfStale() {
  if (hasUnsavedChanges()) return;
  if (store_->dataVersion() == dataVersion_) return;
  // On failure the handle keeps its last view.
  (void)reload();
}

Status BookState::writeNew(Node& node, const Json& now) {
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
    auto sourceData = store_->recordData(source);
    if (!sourceData) return sourceData.error();
    if (!*sourceData) return Status::success();
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
    for (auto property : node.dirty) {
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
  std::vector<std::shared_ptr<Node>> inserted;
  auto fail = [&](const Error& error) -> Status {
    store_->rollback();
    for (const auto& n : inserted) n->id = kInvalidRecordId;
    return error;
  };

  // New records: sources first, so that people and groups created in a new
  // source can name it.
  for (bool sources : {true, false}) {
    for (const auto& n : nodes_) {
      if (!n->live || !n->isNew || (n->type == RecordType::Source) != sources) continue;
      if (auto st = writeNew(*n, now); !st) return fail(st.error());
      if (n->id != kInvalidRecordId) inserted.push_back(n);
    }
  }
  for (const auto& n : nodes_) {
    if (!n->live || n->isNew) continue;
    if (auto st = writeEdits(*n, now); !st) return fail(st.error());
  }
  // Members after the inserts, since new people are members by their new ids.
  for (const auto& n : nodes_) {
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
  for (const auto& n : inserted) byId_[n->id] = n;
  for (const auto& n : nodes_) {
    n->isNew = false;
    n->clearEdits();
    if (n->id == kInvalidRecordId) n->live = false;
  }
  removed_.clear();
  linkOps_.clear();
  (void)reload();
  return Status::success();
}

std::vector<std::shared_ptr<Node>> BookState::liveNodes(RecordType type) const {
  std::vector<std::shared_ptr<Node>> out;
  for (const auto& n : nodes_) {
    if (n->live && n->type == type) out.push_back(n);
  }
  return out;
}

std::shared_ptr<Node> BookState::liveById(RecordId id, RecordType type) const {
  if (id == kInvalidRecordId) return nullptr;
  auto it = byId_.find(id);
  if (it == byId_.end() || !it->second->live || it->second->type != type) return nullptr;
  return it->second;
}

std::shared_ptr<Node> BookState::addNode(RecordType type, std::shared_ptr<Node> source) {
  auto node = std::make_shared<Node>();
  node->type = type;
  node->source = std::move(source);
  node->live = true;
  node->isNew = true;
  node->imageLoaded = true;
  nodes_.push_back(node);
  return node;
}

void BookState::removeNode(const std::shared_ptr<Node>& node) {
  if (node->type == RecordType::Source) {
    for (const auto& n : nodes_) {
      if (n->live && n->source == node) removeNode(n);
    }
  }
  if (node->type == RecordType::Person) {
    for (const auto& g : nodes_) {
      if (g->live && g->type == RecordType::Group) removeMember(*g, node);
    }
  }
  node->live = false;
  if (!node->isNew) removed_.push_back(node);
  node->clearEdits();
  node->isNew = false;
}

void BookState::addMember(Node& group, const std::shared_ptr<Node>& person) {
  if (std::find(group.members.begin(), group.members.end(), person) != group.members.end()) return;
  group.members.push_back(person);
  if (group.isNew) return;
  if (!eraseOne(group.removedMembers, person)) group.addedMembers.push_back(person);
}

void BookState::removeMember(Node& group, const std::shared_ptr<Node>& person) {
  if (!eraseOne(group.members, person)) return;
  if (group.isNew) return;
  if (!eraseOne(group.addedMembers, person)) group.removedMembers.push_back(person);
}

void BookState::link(const std::shared_ptr<Node>& a, const std::shared_ptr<Node>& b) {
  if (a == b) return;
  std::int64_t ta = a->linkTag;
  std::int64_t tb = b->linkTag;
  if (ta != 0 && tb != 0) {
    if (ta != tb) {
      for (const auto& n : nodes_) {
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
