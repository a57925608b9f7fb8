// A scratch pad of objects over an object store (the phone's managed object
// context). A context sits on the coordinator (its saves write the file in
// one transaction) or on a parent context (its saves move its changes into
// the parent, which saves them later). Fetches see the store, the unsaved
// changes of every parent and the context's own.
//
// Two kinds: the main-queue context, whose work runs on the main queue, and
// private-queue contexts, whose work runs on a serial queue of their own or
// on one that the maker hands in (several contexts that share one queue
// run their work one after another, in the order asked).
//
// Ownership: made by make() (shared_ptr); holds its objects, its parent and
// its coordinator.
// Threading: every member but perform and performAndWait runs on the
// context's queue (inside perform / performAndWait, or on the main thread
// for the main-queue context). A child's fetch and save wait on the
// parent's queue: a main-queue parent needs the main queue pumped.
// Failure: Errors of the coordinator (kObjectStoreErrorDomain); a failed
// save keeps the changes, for the caller to roll back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "platform/Result.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/storage/ManagedObject.h"
#include "platform/storage/PersistentStoreCoordinator.h"

namespace platform::objectstore {

enum class ConcurrencyType { MainQueue, PrivateQueue };

// What a save changed, by object id.
struct SaveInfo {
  std::set<std::int64_t> inserted;
  std::set<std::int64_t> updated;
  std::set<std::int64_t> deleted;
};

class ManagedObjectContext : public std::enable_shared_from_this<ManagedObjectContext> {
 public:
  using SaveObserver = std::function<void(const SaveInfo& info)>;
  using ObserverToken = std::uint64_t;

  // `queue` (private-queue contexts only): the queue to run on; a serial
  // queue of the context's own when null.
  static std::shared_ptr<ManagedObjectContext> make(ConcurrencyType type,
                                                    std::shared_ptr<DispatchQueue> queue = nullptr);
  ~ManagedObjectContext();
  ManagedObjectContext(const ManagedObjectContext&) = delete;
  ManagedObjectContext& operator=(const ManagedObjectContext&) = delete;

  void setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator);
  void setParentContext(std::shared_ptr<ManagedObjectContext> parent);
  const std::shared_ptr<PersistentStoreCoordinator>& persistentStoreCoordinator() const { return coordinator_; }
  const std::shared_ptr<ManagedObjectContext>& parentContext() const { return parent_; }
  ConcurrencyType concurrencyType() const { return type_; }

  // Runs `block` on the context's queue: later, or now and waiting.
  void perform(std::function<void()> block);
  void performAndWait(const std::function<void()>& block);

  // A new object of the entity (null for an unknown name), with its id.
  std::shared_ptr<ManagedObject> insertNewObjectForEntityForName(std::string_view entityName);
  // Deletes the object, and by the Cascade rule of its to-many
  // relationships the objects on their other side.
  void deleteObject(const std::shared_ptr<ManagedObject>& object);
  Result<std::vector<std::shared_ptr<ManagedObject>>> executeFetchRequest(const FetchRequest& request);
  // The object of that entity and id, from this context or below; null when
  // it is not stored (or deleted here).
  std::shared_ptr<ManagedObject> existingObject(const EntityDescription& entity, std::int64_t id);

  bool hasChanges() const;
  Status save();
  // Forgets every unsaved change.
  void rollback();

  // Called on the context's queue after each save that changed something.
  ObserverToken addSaveObserver(SaveObserver observer);
  void removeSaveObserver(ObserverToken token);

 private:
  struct ChildChanges;
  ManagedObjectContext(ConcurrencyType type, std::shared_ptr<DispatchQueue> queue);
  const ObjectModel* model() const;
  std::shared_ptr<ManagedObject> registerRow(const EntityDescription& entity, ObjectRow row);
  // Rows of the request as this context sees them (its changes included).
  Result<std::vector<ObjectRow>> rowsFor(const FetchRequest& request);
  std::optional<ObjectRow> rowFor(const EntityDescription& entity, std::int64_t id);
  bool matches(ManagedObject& object, const Predicate& predicate);
  void applyChildChanges(ChildChanges&& changes);
  void markChanged(ManagedObject& object);
  void forgetChanges();
  friend class ManagedObject;

  ConcurrencyType type_;
  std::shared_ptr<DispatchQueue> queue_;  // private-queue contexts
  std::shared_ptr<PersistentStoreCoordinator> coordinator_;
  std::shared_ptr<ManagedObjectContext> parent_;
  std::unordered_map<std::int64_t, std::shared_ptr<ManagedObject>> registered_;
  std::vector<std::shared_ptr<ManagedObject>> changed_;  // inserted, updated or deleted since the last save
  std::map<ObserverToken, SaveObserver> observers_;
  ObserverToken nextToken_ = 1;
};

// Casts each object to a typed entity's class.
template <class T>
std::vector<std::shared_ptr<T>> objectsAs(const std::vector<std::shared_ptr<ManagedObject>>& objects) {
  std::vector<std::shared_ptr<T>> typed;
  typed.reserve(objects.size());
  for (const auto& object : objects) {
    if (auto cast = std::dynamic_pointer_cast<T>(object)) typed.push_back(std::move(cast));
  }
  return typed;
}

}  // namespace platform::objectstore
