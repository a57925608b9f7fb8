// One list of the statistics pool (event points or network samples) with
// its file "<tmp>/com.quenby.stat/<name>": a keyed archive whose "root" is
// the array of the items' archives, in list order.
//
// Items carry an identity (strPoolID, given when the list takes them) and
// the first upload that carried them (nUploadID). An upload takes every
// item (get), and its success removes exactly the items that it or an
// earlier upload carried (removeAll), so an item stays until an upload that
// carried it succeeds. Loading adds only the file's items that the list
// lacks, so a load never brings back an item already removed (the file is
// rewritten after every removal) nor drops one added since the last save.
//
// Ownership: owned by the pool store. Threading: none of its own; the store
// runs every call on its serial queue. Failures: a file that is missing,
// unreadable or empty leaves the list as it is; when the folder cannot be
// made (or a non-folder is in its place) nothing is read or written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/storage/AppHome.h"
#include "platform/storage/KeyedArchive.h"
#include "platform/Random.h"

namespace lumora {

template <class Item>
class KoAPSBase {
 public:
  // What one upload takes: its number and a copy of the list.
  struct SendList {
    std::uint64_t nUploadID = 0;
    std::vector<Item> items;
  };

  static constexpr const char* kFolderName = "com.quenby.stat";
  static constexpr const char* kRootKey = "root";

  explicit KoAPSBase(std::string fileName) : fileName_(std::move(fileName)) {}
  virtual ~KoAPSBase() = default;
  KoAPSBase(const KoAPSBase&) = delete;
  KoAPSBase& operator=(const KoAPSBase&) = delete;

  void load() {
    if (auto items = unarchiveWithPath(fileName_)) mergeArray(std::move(*items));
  }
  void save() const { archiveWithPaht(fileName_, arrItem); }

  // Hands every item to upload `uploadID` (items not yet carried are tagged
  // with it) and returns a copy of the list.
  SendList get(std::uint64_t uploadID) {
    for (Item& item : arrItem) {
      willSend(item);
      if (item.nUploadID == 0) item.nUploadID = uploadID;
    }
    return SendList{uploadID, arrItem};
  }

  // After upload `uploadID` succeeded: removes the items that it carried
  // (those tagged with it or an earlier upload) and rewrites the file.
  // Returns how many went.
  std::size_t removeAll(std::uint64_t uploadID) {
    std::size_t before = arrItem.size();
    std::erase_if(arrItem, [uploadID](const Item& item) {
      return item.nUploadID != 0 && item.nUploadID <= uploadID;
    });
    std::size_t removed = before - arrItem.size();
    if (removed > 0) save();
    return removed;
  }

  void add(Item item) {
    if (item.strPoolID.empty()) item.strPoolID = platform::randomUUIDString();
    arrItem.push_back(std::move(item));
  }

  const std::vector<Item>& items() const { return arrItem; }

  // Puts the items that the list lacks (by identity) in front of it, in
  // their order; an empty argument changes nothing.
  void mergeArray(std::vector<Item> items) {
    std::set<std::string> present;
    for (const Item& item : arrItem) present.insert(item.strPoolID);
    std::vector<Item> merged;
    for (Item& item : items) {
      if (item.strPoolID.empty()) item.strPoolID = platform::randomUUIDString();
      if (present.insert(item.strPoolID).second) merged.push_back(std::move(item));
    }
    if (merged.empty()) return;
    for (Item& item : arrItem) merged.push_back(std::move(item));
    arrItem = std::move(merged);
  }

  // The file's items; nullopt when it is missing, unreadable or no list.
  static std::optional<std::vector<Item>> unarchiveWithPath(const std::string& name) {
    auto path = directoryPath(name);
    if (!path) return std::nullopt;
    auto archive = platform::KeyedArchive::readFromFile(*path);
    if (!archive) return std::nullopt;
    const auto* root = archive->decodeArray(kRootKey);
    if (root == nullptr) return std::nullopt;
    std::vector<Item> items;
    for (const platform::ArchiveValue& value : *root) {
      if (const auto* fields = value.asDictionary()) {
        items.push_back(Item::initWithCoder(platform::KeyedArchive(*fields)));
      }
    }
    return items;
  }

  // Writes the items to the file, replacing it.
  static void archiveWithPaht(const std::string& name, const std::vector<Item>& items) {
    auto path = directoryPath(name);
    if (!path) return;
    platform::ArchiveValue::Array root;
    for (const Item& item : items) {
      platform::KeyedArchive fields;
      item.encodeWithCoder(fields);
      root.emplace_back(fields.values());
    }
    platform::KeyedArchive archive;
    archive.encodeArray(kRootKey, std::move(root));
    (void)archive.writeToFile(*path);
  }

  // "<tmp>/com.quenby.stat/<name>", the folder made when missing; nullopt
  // for an empty name or when no folder can be there.
  static std::optional<std::filesystem::path> directoryPath(const std::string& name) {
    if (name.empty()) return std::nullopt;
    std::filesystem::path folder = platform::AppHome::tmp() / kFolderName;
    std::error_code ec;
    auto status = std::filesystem::status(folder, ec);
    if (!std::filesystem::exists(status)) {
      std::filesystem::create_directories(folder, ec);
      if (ec) return std::nullopt;
    } else if (!std::filesystem::is_directory(status)) {
      return std::nullopt;
    }
    return folder / name;
  }

 protected:
  // Marks an item as handed to an upload (the point list sets its flag).
  virtual void willSend(Item&) {}

  std::vector<Item> arrItem;

 private:
  std::string fileName_;
};

}  // namespace lumora
