#include "platform/storage/ManagedObjectContext.h"

#include <algorithm>
#include <unordered_set>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"

namespace platform::objectstore {
namespace {

Error noStore() {
  return Error(kObjectStoreErrorDomain, kObjectStoreErrorNoStore,
               Json{{Error::kLocalizedDescriptionKey, "the context has no store"}});
}

}  // namespace

struct ManagedObjectContext::ChildChanges {
  std::vector<std::pair<const EntityDescription*, ObjectRow>> inserted;
  std::vector<std::pair<const EntityDescription*, ObjectRow>> updated;
  std::vector<std::pair<const EntityDescription*, std::int64_t>> deleted;
};

std::shared_ptr<ManagedObjectContext> ManagedObjectContext::make(ConcurrencyType type,
                                                                 std::shared_ptr<DispatchQueue> queue) {
  if (type == ConcurrencyType::PrivateQueue && !queue) {
    queue = std::make_shared<SerialQueue>("platform.objectstore.context");
  }
  if (type == ConcurrencyType::MainQueue) queue.reset();
  return std::shared_ptr<ManagedObjectContext>(new ManagedObjectContext(type, std::move(queue)));
}

ManagedObjectContext::ManagedObjectContext(ConcurrencyType type, std::shared_ptr<DispatchQueue> queue)
    : type_(type), queue_(std::move(queue)) {}

ManagedObjectContext::~ManagedObjectContext() = default;

void ManagedObjectContext::setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator) {
  coordinator_ = std::move(coordinator);
  parent_.reset();
}

void ManagedObjectContext::setParentContext(std::shared_ptr<ManagedObjectContext> parent) {
  parent_ = std::move(parent);
  coordinator_ = parent_ ? parent_->coordinator_ : nullptr;
}

const ObjectModel* ManagedObjectContext::model() const { return coordinator_ ? &coordinator_->model() : nullptr; }

void ManagedObjectContext::perform(std::function<void()> block) {
  if (!block) return;
  auto task = [self = shared_from_this(), block = std::move(block)] { block(); };
  if (queue_) {
    queue_->async(std::move(task));
  } else {
    MainQueue::main().async(std::move(task));
  }
}

void ManagedObjectContext::performAndWait(const std::function<void()>& block) {
  if (!block) return;
  if (queue_) {
    queue_->sync(block);
  } else {
    MainQueue::main().sync(block);
  }
}

std::shared_ptr<ManagedObject> ManagedObjectContext::registerRow(const EntityDescription& entity, ObjectRow row) {
  auto found = registered_.find(row.id);
  if (found != registered_.end()) return found->second;
  std::shared_ptr<ManagedObject> object = entity.make ? entity.make() : std::make_shared<ManagedObject>();
  object->entity_ = &entity;
  object->id_ = row.id;
  object->values_ = std::move(row.values);
  object->links_ = std::move(row.links);
  object->values_.resize(entity.attributes.size());
  object->links_.resize(entity.relationships.size());
  object->context_ = weak_from_this();
  registered_.emplace(object->id_, object);
  return object;
}

std::shared_ptr<ManagedObject> ManagedObjectContext::insertNewObjectForEntityForName(std::string_view entityName) {
  const EntityDescription* entity = model() ? model()->entity(entityName) : nullptr;
  if (!entity) return nullptr;
  ObjectRow row;
  row.id = coordinator_->newObjectID();
  auto object = registerRow(*entity, std::move(row));
  object->inserted_ = true;
  changed_.push_back(object);
  return object;
}

void ManagedObjectContext::markChanged(ManagedObject& object) {
  if (object.inserted_ || object.updated_ || object.deleted_) return;
  auto found = registered_.find(object.id_);
  if (found == registered_.end() || found->second.get() != &object) return;
  object.updated_ = true;
  changed_.push_back(found->second);
}

void ManagedObjectContext::deleteObject(const std::shared_ptr<ManagedObject>& object) {
  if (!object || object->deleted_ || object->context_.lock().get() != this) return;
  for (const auto& relationship : object->entity().relationships) {
    if (!relationship.toMany) continue;
    for (const auto& dependent : object->objectsForKey(relationship.name)) {
      if (relationship.deleteRule == DeleteRule::Cascade) {
        deleteObject(dependent);
      } else {
        dependent->setObjectForKey(relationship.inverse, nullptr);
      }
    }
  }
  if (!object->committed_ && !object->inserted_) object->committed_ = ManagedObject::Snapshot{object->values_, object->links_};
  const bool listed = object->inserted_ || object->updated_;
  object->deleted_ = true;
  if (!listed) changed_.push_back(object);
}

std::optional<ObjectRow> ManagedObjectContext::rowFor(const EntityDescription& entity, std::int64_t id) {
  if (parent_) {
    std::optional<ObjectRow> row;
    parent_->performAndWait([&] {
      if (auto object = parent_->existingObject(entity, id)) row = object->row();
    });
    return row;
  }
  if (!coordinator_) return std::nullopt;
  auto row = coordinator_->row(entity, id);
  return row ? std::move(*row) : std::nullopt;
}

std::shared_ptr<ManagedObject> ManagedObjectContext::existingObject(const EntityDescription& entity, std::int64_t id) {
  auto found = registered_.find(id);
  if (found != registered_.end()) {
    if (found->second->deleted_ || &found->second->entity() != &entity) return nullptr;
    return found->second;
  }
  auto row = rowFor(entity, id);
  if (!row) return nullptr;
  return registerRow(entity, std::move(*row));
}

Result<std::vector<ObjectRow>> ManagedObjectContext::rowsFor(const FetchRequest& request) {
  if (!hasChanges()) {
    if (!parent_) {
      if (!coordinator_) return noStore();
      return coordinator_->fetch(request);
    }
    Result<std::vector<ObjectRow>> rows = noStore();
    parent_->performAndWait([&] { rows = parent_->rowsFor(request); });
    return rows;
  }
  auto objects = executeFetchRequest(request);
  if (!objects) return objects.error();
  std::vector<ObjectRow> rows;
  rows.reserve(objects->size());
  for (const auto& object : *objects) rows.push_back(object->row());
  return rows;
}

bool ManagedObjectContext::matches(ManagedObject& object, const Predicate& predicate) {
  for (const auto& equality : predicate.all) {
    const auto dot = equality.keyPath.find('.');
    const std::string head = equality.keyPath.substr(0, dot);
    const EntityDescription& entity = object.entity();
    if (dot == std::string::npos && entity.attributeIndex(head) >= 0) {
      if (!valuesEqual(object.valueForKey(head), equality.value)) return false;
      continue;
    }
    auto link = object.linkForKey(head);
    if (dot == std::string::npos) {
      if (!valuesEqual(link ? Value(*link) : Value(), equality.value)) return false;
      continue;
    }
    auto target = object.objectForKey(head);
    Value value = target ? target->valueForKey(equality.keyPath.substr(dot + 1)) : Value();
    if (!valuesEqual(value, equality.value)) return false;
  }
  return true;
}

Result<std::vector<std::shared_ptr<ManagedObject>>> ManagedObjectContext::executeFetchRequest(
    const FetchRequest& request) {
  const EntityDescription* entity = model() ? model()->entity(request.entityName) : nullptr;
  if (!coordinator_) return noStore();
  if (!entity) {
    return Error(kObjectStoreErrorDomain, kObjectStoreErrorUnknownName,
                 Json{{Error::kLocalizedDescriptionKey, "unknown entity " + request.entityName}});
  }
  FetchRequest whole = request;
  whole.propertiesToFetch.clear();  // objects are always whole
  std::vector<std::shared_ptr<ManagedObject>> objects;
  if (!parent_ && !registered_.empty()) {
    // Objects this context holds already need no reading: when it holds
    // every one the request selects, their ids are enough.
    auto ids = coordinator_->fetchIDs(whole);
    if (!ids) return ids.error();
    objects.reserve(ids->size());
    for (std::int64_t id : *ids) {
      auto found = registered_.find(id);
      if (found == registered_.end()) break;
      objects.push_back(found->second);
    }
    if (objects.size() != ids->size()) objects.clear();
  }
  if (objects.empty()) {
    Result<std::vector<ObjectRow>> rows = noStore();
    if (parent_) {
      parent_->performAndWait([&] { rows = parent_->rowsFor(whole); });
    } else {
      rows = coordinator_->fetch(whole);
    }
    if (!rows) return rows.error();
    objects.reserve(rows->size());
    for (auto& row : *rows) objects.push_back(registerRow(*entity, std::move(row)));
  }
  if (!hasChanges()) return objects;

  // Unsaved changes here: what they insert, change and delete decides.
  std::unordered_set<std::int64_t> seen;
  std::vector<std::shared_ptr<ManagedObject>> candidates;
  auto consider = [&](const std::shared_ptr<ManagedObject>& object) {
    if (object->deleted_ || &object->entity() != entity || !seen.insert(object->id_).second) return;
    if (matches(*object, request.predicate)) candidates.push_back(object);
  };
  for (const auto& object : objects) consider(object);
  for (std::size_t i = 0; i < changed_.size(); ++i) consider(changed_[i]);
  if (!request.sortDescriptors.empty()) {
    std::stable_sort(candidates.begin(), candidates.end(), [&](const auto& a, const auto& b) {
      for (const auto& sort : request.sortDescriptors) {
        const int order = compareValues(a->valueForKey(sort.key), b->valueForKey(sort.key));
        if (order != 0) return sort.ascending ? order < 0 : order > 0;
      }
      return false;
    });
  }
  if (request.fetchLimit > 0 && candidates.size() > request.fetchLimit) candidates.resize(request.fetchLimit);
  return candidates;
}

bool ManagedObjectContext::hasChanges() const { return !changed_.empty(); }

void ManagedObjectContext::forgetChanges() {
  for (const auto& object : changed_) {
    if (object->deleted_) {
      registered_.erase(object->id_);
      object->context_.reset();
    }
    object->inserted_ = object->updated_ = false;
    object->committed_.reset();
  }
  changed_.clear();
}

Status ManagedObjectContext::save() {
  if (!hasChanges()) return Status();
  if (!coordinator_) return noStore();
  SaveInfo info;
  ChildChanges copies;                         // for a parent, which keeps rows of its own
  PersistentStoreCoordinator::Changes stored;  // for the store, which writes the objects' rows as they are
  for (const auto& object : changed_) {
    if (object->inserted_ && object->deleted_) continue;
    const EntityDescription* entity = &object->entity();
    if (object->deleted_) {
      info.deleted.insert(object->id_);
      (parent_ ? copies.deleted : stored.deleted).emplace_back(entity, object->id_);
      continue;
    }
    (object->inserted_ ? info.inserted : info.updated).insert(object->id_);
    if (parent_) {
      (object->inserted_ ? copies.inserted : copies.updated).emplace_back(entity, object->row());
    } else {
      (object->inserted_ ? stored.inserted : stored.updated)
          .emplace_back(entity, PersistentStoreCoordinator::RowView{object->id_, &object->values_, &object->links_});
    }
  }
  if (parent_) {
    parent_->performAndWait([&] { parent_->applyChildChanges(std::move(copies)); });
  } else if (auto st = coordinator_->save(stored); !st) {
    return st;
  }
  forgetChanges();
  if (info.inserted.empty() && info.updated.empty() && info.deleted.empty()) return Status();
  auto observers = observers_;
  for (const auto& [token, observer] : observers) observer(info);
  return Status();
}

void ManagedObjectContext::applyChildChanges(ChildChanges&& changes) {
  for (auto& [entity, row] : changes.inserted) {
    std::shared_ptr<ManagedObject> object;
    if (auto known = registered_.find(row.id); known != registered_.end()) {
      object = known->second;
      object->values_ = std::move(row.values);
      object->links_ = std::move(row.links);
    } else {
      object = registerRow(*entity, std::move(row));
    }
    if (!object->inserted_ && !object->updated_ && !object->deleted_) changed_.push_back(object);
    object->deleted_ = false;
    object->inserted_ = true;
  }
  for (auto& [entity, row] : changes.updated) {
    auto object = existingObject(*entity, row.id);
    if (!object) continue;
    object->willChange();
    object->values_ = std::move(row.values);
    object->links_ = std::move(row.links);
  }
  for (const auto& [entity, id] : changes.deleted) {
    auto object = existingObject(*entity, id);
    if (!object) continue;
    if (!object->committed_ && !object->inserted_) {
      object->committed_ = ManagedObject::Snapshot{object->values_, object->links_};
    }
    const bool listed = object->inserted_ || object->updated_;
    object->deleted_ = true;
    if (!listed) changed_.push_back(object);
  }
}

void ManagedObjectContext::rollback() {
  for (const auto& object : changed_) {
    if (object->inserted_) {
      registered_.erase(object->id_);
      object->context_.reset();
    } else if (object->committed_) {
      object->values_ = std::move(object->committed_->values);
      object->links_ = std::move(object->committed_->links);
    }
    object->inserted_ = object->updated_ = object->deleted_ = false;
    object->committed_.reset();
  }
  changed_.clear();
}

ManagedObjectContext::ObserverToken ManagedObjectContext::addSaveObserver(SaveObserver observer) {
  const ObserverToken token = nextToken_++;
  observers_.emplace(token, std::move(observer));
  return token;
}

void ManagedObjectContext::removeSaveObserver(ObserverToken token) { observers_.erase(token); }

}  // namespace platform::objectstore
