// The sorted result of one fetch request on a context, kept current (the
// phone's fetched-results controller, one section). After each save of the
// context it fetches again, compares the new list with the old one by
// object id and tells its delegate what changed: will-change, then one
// report per deleted, inserted, moved or updated object (old and new
// positions), then did-change. Objects that keep their order among the
// survivors are not reported as moved.
//
// Ownership: holds its context; the delegate is held weakly.
// Threading: the context's queue (the main thread for the main context).
// Failure: performFetch reports the context's error; a fetch that fails
// after a save keeps the old list and reports nothing.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Result.h"
#include "platform/storage/ManagedObjectContext.h"

namespace platform::objectstore {

enum class FetchedResultsChangeType { Insert, Delete, Move, Update };

// Every hook optional.
class FetchedResultsControllerDelegate {
 public:
  virtual ~FetchedResultsControllerDelegate() = default;
  std::function<void()> controllerWillChangeContent;
  // (object, old position, change, new position): Insert has no old
  // position, Delete no new one.
  std::function<void(const std::shared_ptr<ManagedObject>& object, std::optional<std::size_t> oldIndex,
                     FetchedResultsChangeType type, std::optional<std::size_t> newIndex)>
      didChangeObject;
  std::function<void()> controllerDidChangeContent;
};

class FetchedResultsController {
 public:
  FetchedResultsController(FetchRequest request, std::shared_ptr<ManagedObjectContext> context);
  ~FetchedResultsController();
  FetchedResultsController(const FetchedResultsController&) = delete;
  FetchedResultsController& operator=(const FetchedResultsController&) = delete;

  const FetchRequest& fetchRequest() const { return request_; }
  const std::shared_ptr<ManagedObjectContext>& managedObjectContext() const { return context_; }
  void setDelegate(std::weak_ptr<FetchedResultsControllerDelegate> delegate) { delegate_ = std::move(delegate); }

  // Fetches; from then on follows the context's saves.
  Status performFetch();
  const std::vector<std::shared_ptr<ManagedObject>>& fetchedObjects() const { return objects_; }
  std::size_t numberOfObjects() const { return objects_.size(); }
  std::shared_ptr<ManagedObject> objectAtIndex(std::size_t index) const;
  std::optional<std::size_t> indexOfObject(const std::shared_ptr<ManagedObject>& object) const;

 private:
  void contextDidSave(const SaveInfo& info);

  FetchRequest request_;
  std::shared_ptr<ManagedObjectContext> context_;
  std::weak_ptr<FetchedResultsControllerDelegate> delegate_;
  std::vector<std::shared_ptr<ManagedObject>> objects_;
  std::optional<ManagedObjectContext::ObserverToken> token_;
};

}  // namespace platform::objectstore
