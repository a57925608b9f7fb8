// One object of an object store: an entity's attribute values and to-one
// links, registered with the context that made or fetched it. Typed
// entities derive from it and add named accessors.
//
// Ownership: held by its context (shared_ptr) and by whoever fetched it;
// it knows its context weakly, so an object outliving its context keeps its
// values but changes nothing.
// Threading: confined to its context's queue, like the context.
// Failure: an unknown key reads as null and is not written.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/storage/ObjectModel.h"

namespace platform::objectstore {

class ManagedObjectContext;

class ManagedObject {
 public:
  ManagedObject() = default;
  virtual ~ManagedObject() = default;
  ManagedObject(const ManagedObject&) = delete;
  ManagedObject& operator=(const ManagedObject&) = delete;

  const EntityDescription& entity() const { return *entity_; }
  std::int64_t objectID() const { return id_; }
  std::shared_ptr<ManagedObjectContext> managedObjectContext() const { return context_.lock(); }
  bool isInserted() const { return inserted_; }
  bool isUpdated() const { return updated_; }
  bool isDeleted() const { return deleted_; }

  const Value& valueForKey(std::string_view key) const;
  void setValueForKey(std::string_view key, Value value);

  std::optional<std::int64_t> integerForKey(std::string_view key) const;
  std::optional<double> doubleForKey(std::string_view key) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<Clock::TimePoint> dateForKey(std::string_view key) const;
  void setInteger(std::string_view key, std::optional<std::int64_t> value);
  void setDouble(std::string_view key, std::optional<double> value);
  void setString(std::string_view key, std::optional<std::string> value);
  void setDate(std::string_view key, std::optional<Clock::TimePoint> value);

  // A to-one relationship: the object it points at (in this object's
  // context), or null.
  std::shared_ptr<ManagedObject> objectForKey(std::string_view relationship) const;
  std::optional<std::int64_t> linkForKey(std::string_view relationship) const;
  void setObjectForKey(std::string_view relationship, const std::shared_ptr<ManagedObject>& object);
  // A to-many relationship: the objects whose inverse points here, in the
  // context (unsorted).
  std::vector<std::shared_ptr<ManagedObject>> objectsForKey(std::string_view relationship) const;

  // Values as a row of the store.
  ObjectRow row() const { return ObjectRow{id_, values_, links_}; }

 private:
  friend class ManagedObjectContext;
  struct Snapshot {
    std::vector<Value> values;
    std::vector<std::optional<std::int64_t>> links;
  };
  void willChange();

  const EntityDescription* entity_ = nullptr;
  std::int64_t id_ = 0;
  std::vector<Value> values_;
  std::vector<std::optional<std::int64_t>> links_;
  std::weak_ptr<ManagedObjectContext> context_;
  bool inserted_ = false;
  bool updated_ = false;
  bool deleted_ = false;
  std::optional<Snapshot> committed_;  // the values before the first unsaved change
};

}  // namespace platform::objectstore
