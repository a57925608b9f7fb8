// Internal: the state behind one AddressBook handle, shared with the Records
// it hands out. It holds one node per record it has loaded (the handle's
// working copy), the unsaved edits, and the handle's own store connection.
//
// Records are loaded on demand: a look-up by id reads that one record (with
// its source, and a group's members); a list of people or groups, linking
// and removing a source read the whole store once. A node, once loaded, is
// the record's one node in this handle until the record is gone.
//
// Every member except open() expects `mutex` to be held by the caller.
// Failures are Errors in kErrorDomain.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Result.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbook/PropertyValue.h"
#include "platform/addressbook/Store.h"

namespace platform::addressbook::detail {

// The values of one person, sorted by property in one vector: a person has a
// handful, so this is smaller than a tree and as quick to search.
class PropertyValues {
 public:
  using Entry = std::pair<PersonProperty, PropertyValue>;
  using iterator = std::vector<Entry>::iterator;
  using const_iterator = std::vector<Entry>::const_iterator;

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  iterator find(PersonProperty property) {
    auto it = lowerBound(property);
    return it != entries_.end() && it->first == property ? it : entries_.end();
  }
  const_iterator find(PersonProperty property) const {
    return const_cast<PropertyValues*>(this)->find(property);
  }
  void insert_or_assign(PersonProperty property, PropertyValue value) {
    auto it = lowerBound(property);
    if (it != entries_.end() && it->first == property) {
      it->second = std::move(value);
    } else {
      entries_.emplace(it, property, std::move(value));
    }
  }
  // Adds a value unless the property has one.
  void emplace(PersonProperty property, PropertyValue value) {
    auto it = lowerBound(property);
    if (it == entries_.end() || it->first != property) entries_.emplace(it, property, std::move(value));
  }
  std::size_t erase(PersonProperty property) {
    auto it = find(property);
    if (it == entries_.end()) return 0;
    entries_.erase(it);
    return 1;
  }
  void clear() { entries_.clear(); }
  void reserve(std::size_t count) { entries_.reserve(count); }

 private:
  iterator lowerBound(PersonProperty property) {
    return std::lower_bound(entries_.begin(), entries_.end(), property,
                            [](const Entry& entry, PersonProperty p) { return entry.first < p; });
  }
  std::vector<Entry> entries_;
};

// A set of person properties, one bit each.
class PropertySet {
 public:
  void insert(PersonProperty property) { bits_ |= bit(property); }
  bool contains(PersonProperty property) const { return (bits_ & bit(property)) != 0; }
  bool empty() const { return bits_ == 0; }
  void clear() { bits_ = 0; }

 private:
  static std::uint32_t bit(PersonProperty property) { return 1u << static_cast<unsigned>(property); }
  std::uint32_t bits_ = 0;
};
static_assert(static_cast<int>(PersonProperty::SocialProfile) < 32, "PropertySet holds 32 properties");

struct Node {
  RecordId id = kInvalidRecordId;
  RecordType type = RecordType::Person;
  std::shared_ptr<Node> source;  // persons and groups
  bool live = false;             // part of the handle's current view
  bool isNew = false;            // created in the handle, not saved yet

  // persons
  PropertyValues values;
  bool hasImage = false;
  bool imageLoaded = false;  // image bytes are read from the store on first use
  std::optional<Bytes> image;
  std::int64_t linkTag = 0;  // 0: not linked

  // groups and sources
  std::optional<std::string> name;
  SourceKind kind = SourceKind::Local;
  std::vector<std::shared_ptr<Node>> members;

  // unsaved edits of a stored record
  bool noted = false;  // in BookState's list of edited nodes
  PropertySet dirty;
  bool nameDirty = false;
  bool imageDirty = false;
  std::vector<std::shared_ptr<Node>> addedMembers;
  std::vector<std::shared_ptr<Node>> removedMembers;

  bool hasEdits() const {
    return isNew || !dirty.empty() || nameDirty || imageDirty || !addedMembers.empty() || !removedMembers.empty();
  }
  void clearEdits() {
    dirty.clear();
    nameDirty = imageDirty = false;
    addedMembers.clear();
    removedMembers.clear();
  }
};

// The loaded stored records by id: in id order (the view's order), with a
// hash index beside the tree so that a look-up by id does not walk it.
class NodesById {
 public:
  using Map = std::map<RecordId, std::shared_ptr<Node>>;
  using iterator = Map::iterator;
  using const_iterator = Map::const_iterator;

  iterator begin() { return map_.begin(); }
  iterator end() { return map_.end(); }
  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }

  iterator find(RecordId id) {
    auto it = index_.find(id);
    return it == index_.end() ? map_.end() : it->second;
  }
  std::size_t count(RecordId id) const { return index_.count(id); }
  void emplace(RecordId id, std::shared_ptr<Node> node) {
    auto [it, added] = map_.emplace(id, std::move(node));
    if (added) index_.emplace(id, it);
  }
  std::shared_ptr<Node>& operator[](RecordId id) {
    auto it = find(id);
    if (it == map_.end()) {
      it = map_.emplace(id, nullptr).first;
      index_.emplace(id, it);
    }
    return it->second;
  }
  void erase(RecordId id) {
    auto it = index_.find(id);
    if (it == index_.end()) return;
    map_.erase(it->second);
    index_.erase(it);
  }
  template <class Predicate>
  void eraseIf(const Predicate& predicate) {
    for (auto it = map_.begin(); it != map_.end();) {
      if (predicate(*it)) {
        index_.erase(it->first);
        it = map_.erase(it);
      } else {
        ++it;
      }
    }
  }
  NodesById& operator=(Map map) {
    map_ = std::move(map);
    index_.clear();
    index_.reserve(map_.size());
    for (auto it = map_.begin(); it != map_.end(); ++it) index_.emplace(it->first, it);
    return *this;
  }

 private:
  Map map_;
  std::unordered_map<RecordId, iterator> index_;
};

struct LinkOp {
  bool link = true;  // false: unlink `a`
  std::shared_ptr<Node> a;
  std::shared_ptr<Node> b;
};

// Installs the process-wide write-fault hook (AddressBook::setWriteFault).
void installWriteFault(WriteFault fault);
// Tells every handle of the process that the authorisation status may have
// changed (handles keep it until then, or until another process writes).
void authorizationChanged();

class BookState {
 public:
  static Result<std::shared_ptr<BookState>> open(const std::filesystem::path& path);

  std::recursive_mutex mutex;
  const std::filesystem::path path;

  static Error accessDenied();
  static Error notPermitted(const std::string& why);

  // One read transaction of the store for the reads within its scope
  // (taken under `mutex`).
  class ReadScope {
   public:
    explicit ReadScope(BookState& state) : store_(*state.store_) { store_.beginRead(); }
    ~ReadScope() { store_.endRead(); }
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

   private:
    Store& store_;
  };

  // The store's status, read again only after authorizationChanged() or
  // another connection's commit.
  AuthorizationStatus authorization();
  bool accessGranted() { return authorization() == AuthorizationStatus::Authorized; }
  // Access check, then the process-wide write-fault hook.
  Status checkWrite(const std::shared_ptr<BookState>& self, WriteOperation operation,
                    const std::shared_ptr<Node>& node, std::optional<PersonProperty> property = std::nullopt);

  // True when `node` belongs to this handle and is in its view.
  bool ownsLive(const Record& record) const;
  Record record(const std::shared_ptr<BookState>& self, const std::shared_ptr<Node>& node) const {
    return Record(self, node);
  }
  static const std::shared_ptr<Node>& nodeOf(const Record& record) { return record.node_; }

  bool hasUnsavedChanges() const;
  // Records that `node` now has unsaved edits.
  void noteEdit(const std::shared_ptr<Node>& node);
  // Drops the unsaved edits and reads every loaded record again.
  Status reload();
  // Reloads when another connection has committed and nothing is unsaved.
  void refreshIfStale();
  Status save();
  // reload(), unless there is nothing to drop and nothing new to read (no
  // edits, no new records, no commit of another connection since the view
  // was read): then the view already is what the store holds.
  Status revert();
  Store& store() { return *store_; }

  // Live nodes in view order (record id, then creation order); loads every
  // record of that type first.
  std::vector<std::shared_ptr<Node>> liveNodes(RecordType type);
  // The live node of that id and type, loaded when needed.
  std::shared_ptr<Node> liveById(RecordId id, RecordType type);
  std::shared_ptr<Node> addNode(RecordType type, std::shared_ptr<Node> source);
  void removeNode(const std::shared_ptr<Node>& node);
  void addMember(const std::shared_ptr<Node>& group, const std::shared_ptr<Node>& person);
  void removeMember(const std::shared_ptr<Node>& group, const std::shared_ptr<Node>& person);
  void link(const std::shared_ptr<Node>& a, const std::shared_ptr<Node>& b);
  void unlink(const std::shared_ptr<Node>& person);
  Result<std::optional<Bytes>> loadImage(Node& node);

 private:
  BookState(std::filesystem::path path, std::unique_ptr<Store> store);
  // The node of a stored record, read from the store unless loaded; null
  // when there is no such record.
  std::shared_ptr<Node> load(RecordId id);
  // Every stored record loaded (nodes already loaded are kept as they are).
  Status loadAll();
  // Every stored source loaded.
  Status loadSources();
  // Fills `node` from its row: values or name and kind, image flag, link;
  // `sourceOf` gives the node of the row's source.
  template <class SourceOf>
  void fill(Node& node, const Store::Row& row, const SourceOf& sourceOf);
  Status writeNew(Node& node, const nlohmann::json& now, std::map<RecordId, bool>& sources);
  Status writeEdits(Node& node, const nlohmann::json& now);
  // After a save that nobody else's commit preceded: the view is the store.
  void settleSaved(const nlohmann::json& now);
  void forgetEdits();

  std::unique_ptr<Store> store_;
  NodesById byId_;                                  // loaded stored records, in id order
  std::vector<std::shared_ptr<Node>> created_;      // records new in the handle, in creation order
  bool complete_ = false;                           // byId_ holds every stored record
  bool sourcesComplete_ = false;                    // byId_ holds every stored source
  std::vector<std::shared_ptr<Node>> edited_;       // nodes whose edits are unsaved (noted)
  std::vector<std::shared_ptr<Node>> removed_;      // stored records removed in the handle
  std::vector<LinkOp> linkOps_;
  std::int64_t dataVersion_ = -1;
  std::optional<AuthorizationStatus> authorization_;
  std::uint64_t authorizationSeen_ = 0;  // authorizationChanged() count when read
  std::int64_t nextLinkTag_ = std::int64_t(1) << 40;  // in-memory tags, clear of the stored ones
};

}  // namespace platform::addressbook::detail
