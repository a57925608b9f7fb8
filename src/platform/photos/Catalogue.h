// The photo library's small SQLite catalogue: one row per asset (keyed by
// its file's path under the library folder) and per album, album members in
// the order added, and the authorisation setting. It is what gives assets
// and albums their stable local identifiers.
//
// Ownership: owned by its PhotoLibrary; it owns the connection.
// Threading: not thread-safe; the library calls it under its lock.
// Failure: open() reports an unusable file as an Error; statements that fail
// report false / nullopt (the library turns that into kPhotosErrorFileSystem).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Result.h"
#include "platform/photos/Types.h"

struct sqlite3;

namespace platform::photos {

// An asset row: the asset plus what tells whether its file changed since.
struct CatalogueAsset {
  Asset asset;
  std::string relativePath;  // under the library folder
  std::int64_t fileSize = 0;
  std::int64_t fileTime = 0;  // nanoseconds since 1970
};

class Catalogue {
 public:
  static Result<std::unique_ptr<Catalogue>> open(const std::filesystem::path& file);
  ~Catalogue();
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;

  bool begin();
  bool commit();
  void rollback();

  // Every asset row, in the order they were added; their files are made
  // absolute against `folder`.
  std::vector<CatalogueAsset> assets(const std::filesystem::path& folder);
  // The rows of those identifiers (unknown ones left out), in the same order.
  std::vector<CatalogueAsset> assets(const std::filesystem::path& folder, const std::set<std::string>& identifiers);
  bool insertAsset(const CatalogueAsset& row);
  bool updateAsset(const CatalogueAsset& row);
  // Removes the asset and its album memberships.
  bool deleteAsset(const std::string& localIdentifier);

  std::vector<AssetCollection> albums();
  bool insertAlbum(const AssetCollection& album);
  // Member ids in the order they were added.
  std::vector<std::string> members(const std::string& albumIdentifier);
  bool addMember(const std::string& albumIdentifier, const std::string& assetIdentifier);
  bool removeMember(const std::string& albumIdentifier, const std::string& assetIdentifier);

  std::optional<std::int64_t> setting(const std::string& key);
  bool setSetting(const std::string& key, std::int64_t value);

 private:
  explicit Catalogue(sqlite3* db) : db_(db) {}
  bool run(const char* sql);

  sqlite3* db_;
};

}  // namespace platform::photos
