// The description of an object store (the phone's managed object model):
// entities with typed attributes and relationships between them, and the
// fetch requests that read them. A to-one relationship is stored with its
// object; a to-many relationship is the inverse of a to-one and is found by
// it. Deleting an object applies the delete rule of each of its to-many
// relationships: Cascade deletes the objects on the other side, Nullify
// clears their link.
//
// Ownership: plain values; a model is shared (shared_ptr<const ObjectModel>)
// by the coordinator, its contexts and their objects.
// Threading: immutable once built, so any thread.
// Failure: none here; unknown names are refused where they are used.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::objectstore {

class ManagedObject;

// A stored value. Dates are seconds since 1970 (Double).
using Value = std::variant<std::monostate, std::int64_t, double, std::string>;

inline bool isNull(const Value& value) { return std::holds_alternative<std::monostate>(value); }
// Equal values: numbers compare by value across integer and double.
bool valuesEqual(const Value& a, const Value& b);
// Null first, then numbers, then texts.
int compareValues(const Value& a, const Value& b);

enum class AttributeType { Integer, Double, String, Date };

struct AttributeDescription {
  std::string name;
  AttributeType type = AttributeType::String;
  bool indexed = false;  // looked up often: the store keeps an index
};

enum class DeleteRule { Nullify, Cascade };

struct RelationshipDescription {
  std::string name;
  std::string destination;  // entity name
  std::string inverse;      // the relationship on the other side
  bool toMany = false;
  DeleteRule deleteRule = DeleteRule::Nullify;  // of a to-many relationship
};

struct EntityDescription {
  std::string name;
  std::vector<AttributeDescription> attributes;
  std::vector<RelationshipDescription> relationships;
  // Makes the entity's objects (a typed subclass); a plain ManagedObject
  // when empty.
  std::function<std::shared_ptr<ManagedObject>()> make;

  // -1 when there is none of that name.
  int attributeIndex(std::string_view key) const;
  int relationshipIndex(std::string_view key) const;
};

class ObjectModel {
 public:
  explicit ObjectModel(std::vector<EntityDescription> entities) : entities_(std::move(entities)) {}
  const std::vector<EntityDescription>& entities() const { return entities_; }
  const EntityDescription* entity(std::string_view name) const;

 private:
  std::vector<EntityDescription> entities_;
};

// Equalities, all of which must hold. A key path is an attribute, a to-one
// relationship (compared with the object's id) or "relationship.attribute".
struct Predicate {
  struct Equality {
    std::string keyPath;
    Value value;
  };
  std::vector<Equality> all;

  static Predicate equal(std::string keyPath, Value value) {
    return Predicate{{Equality{std::move(keyPath), std::move(value)}}};
  }
  Predicate& andEqual(std::string keyPath, Value value) {
    all.push_back(Equality{std::move(keyPath), std::move(value)});
    return *this;
  }
};

struct SortDescriptor {
  std::string key;  // an attribute
  bool ascending = true;
};

struct FetchRequest {
  std::string entityName;
  Predicate predicate;
  std::vector<SortDescriptor> sortDescriptors;
  std::size_t fetchLimit = 0;  // 0: no limit
  // Attributes read by a value fetch (all when empty).
  std::vector<std::string> propertiesToFetch;
};

// One stored object as the store holds it: its id, its attribute values
// (in the entity's order; null where not fetched) and the ids its to-one
// relationships point at (by relationship index; to-many entries unused).
struct ObjectRow {
  std::int64_t id = 0;
  std::vector<Value> values;
  std::vector<std::optional<std::int64_t>> links;
};

}  // namespace platform::objectstore
