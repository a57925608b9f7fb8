// Internal: the state behind one AddressBook handle, shared with the Records
// it hands out. It holds one node per record (the handle's working copy),
// the unsaved edits, and the handle's own store connection.
//
// Every member except open() expects `mutex` to be held by the caller.
// Failures are Errors in kErrorDomain.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Result.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbook/PropertyValue.h"
#include "platform/addressbook/Store.h"

namespace platform::addressbook::detail {

struct Node {
  RecordId id = kInvalidRecordId;
  RecordType type = RecordType::Person;
  std::shared_ptr<Node> source;  // persons and groups
  bool live = false;             // part of the handle's current view
  bool isNew = false;            // created in the handle, not saved yet

  // persons
  std::map<PersonProperty, PropertyValue> values;
  bool hasImage = false;
  bool imageLoaded = false;  // image bytes are read from the store on first use
  std::optional<Bytes> image;
  std::int64_t linkTag = 0;  // 0: not linked

  // groups and sources
  std::optional<std::string> name;
  SourceKind kind = SourceKind::Local;
  std::vector<std::shared_ptr<Node>> members;

  // unsaved edits of a stored record
  std::set<PersonProperty> dirty;
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

struct LinkOp {
  bool link = true;  // false: unlink `a`
  std::shared_ptr<Node> a;
  std::shared_ptr<Node> b;
};

// Installs the process-wide write-fault hook (AddressBook::setWriteFault).
void installWriteFault(WriteFault fault);

class BookState {
 public:
  static Result<std::shared_ptr<BookState>> open(const std::filesystem::path& path);

  std::recursive_mutex mutex;
  const std::filesystem::path path;

  static Error accessDenied();
  static Error notPermitted(const std::string& why);

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
  Status reload();
  // Reloads when another connection has committed and nothing is unsaved.
  void refreshIfStale();
  Status save();
  Status revert() { return reload(); }
  Store& store() { return *store_; }

  // Live nodes in view order (record id, then creation order).
  std::vector<std::shared_ptr<Node>> liveNodes(RecordType type) const;
  std::shared_ptr<Node> liveById(RecordId id, RecordType type) const;
  std::shared_ptr<Node> addNode(RecordType type, std::shared_ptr<Node> source);
  void removeNode(const std::shared_ptr<Node>& node);
  void addMember(Node& group, const std::shared_ptr<Node>& person);
  void removeMember(Node& group, const std::shared_ptr<Node>& person);
  void link(const std::shared_ptr<Node>& a, const std::shared_ptr<Node>& b);
  void unlink(const std::shared_ptr<Node>& person);
  Result<std::optional<Bytes>> loadImage(Node& node);

 private:
  BookState(std::filesystem::path path, std::unique_ptr<Store> store);
  Status writeNew(Node& node, const nlohmann::json& now);
  Status writeEdits(Node& node, const nlohmann::json& now);

  std::unique_ptr<Store> store_;
  std::vector<std::shared_ptr<Node>> nodes_;  // view order; may hold nodes no longer live
  std::map<RecordId, std::shared_ptr<Node>> byId_;
  std::vector<std::shared_ptr<Node>> removed_;  // stored records removed in the handle
  std::vector<LinkOp> linkOps_;
  std::int64_t dataVersion_ = -1;
  std::int64_t nextLinkTag_ = std::int64_t(1) << 40;  // in-memory tags, clear of the stored ones
};

}  // namespace platform::addressbook::detail
