#include "platform/photos/Catalogue.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "platform/storage/Sqlite.h"

namespace platform::photos {
namespace {

using platform::sqlite::Statement;

constexpr const char* kSchema =
    "create table if not exists assets (id text primary key, path text unique not null, "
    "mediaType integer, screenshot integer, created integer, modified integer, width integer, "
    "height integer, duration real, latitude real, longitude real, altitude real, "
    "fileSize integer, fileTime integer);"
    "create table if not exists albums (id text primary key, title text, type integer, subtype integer);"
    "create table if not exists members (album text, asset text, primary key (album, asset));"
    "create table if not exists settings (key text primary key, value integer);";

std::int64_t nanos(Clock::TimePoint time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

Clock::TimePoint fromNanos(std::int64_t value) {
  return Clock::TimePoint(std::chrono::duration_cast<Clock::Duration>(std::chrono::nanoseconds(value)));
}

bool done(Statement& statement) { return statement.step() == SQLITE_DONE; }

void bindAssetValues(Statement& s, const CatalogueAsset& row) {
  const Asset& a = row.asset;
  s.bind(1, std::string_view(a.localIdentifier))
      .bind(2, std::string_view(row.relativePath))
      .bind(3, static_cast<std::int64_t>(a.mediaType))
      .bind(4, std::int64_t{a.isScreenshot ? 1 : 0})
      .bind(5, nanos(a.creationDate))
      .bind(6, nanos(a.modificationDate))
      .bind(7, a.pixelWidth)
      .bind(8, a.pixelHeight)
      .bindDouble(9, a.duration)
      .bind(13, row.fileSize)
      .bind(14, row.fileTime);
  if (a.location) {
    s.bindDouble(10, a.location->latitude).bindDouble(11, a.location->longitude);
    if (a.location->altitude) s.bindDouble(12, *a.location->altitude);
    else s.bindNull(12);
  } else {
    s.bindNull(10).bindNull(11).bindNull(12);
  }
}

}  // namespace

Result<std::unique_ptr<Catalogue>> Catalogue::open(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return Error(kPhotosErrorDomain, kPhotosErrorFileSystem,
                 Json{{Error::kLocalizedDescriptionKey, message}});
  }
  sqlite3_busy_timeout(db, 5000);
  std::unique_ptr<Catalogue> catalogue(new Catalogue(db));
  if (!catalogue->run(kSchema)) {
    return Error(kPhotosErrorDomain, kPhotosErrorFileSystem,
                 Json{{Error::kLocalizedDescriptionKey, sqlite3_errmsg(db)}});
  }
  return catalogue;
}

Catalogue::~Catalogue() { sqlite3_close_v2(db_); }

bool Catalogue::run(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool Catalogue::begin() { return run("begin immediate transaction"); }
bool Catalogue::commit() { return run("commit transaction"); }
void Catalogue::rollback() { run("rollback transaction"); }

namespace {

constexpr const char* kAssetColumns =
    "select id, path, mediaType, screenshot, created, modified, width, height, duration, "
    "latitude, longitude, altitude, fileSize, fileTime, rowid from assets";

// The row a statement over kAssetColumns stands on, and its rowid.
std::pair<CatalogueAsset, std::int64_t> assetRow(Statement& s, const std::filesystem::path& folder) {
  CatalogueAsset row;
  row.asset.localIdentifier = s.text(0);
  row.relativePath = s.text(1);
  row.asset.file = folder / row.relativePath;
  row.asset.mediaType = static_cast<MediaType>(s.integer(2));
  row.asset.isScreenshot = s.integer(3) != 0;
  row.asset.creationDate = fromNanos(s.integer(4));
  row.asset.modificationDate = fromNanos(s.integer(5));
  row.asset.pixelWidth = s.integer(6);
  row.asset.pixelHeight = s.integer(7);
  row.asset.duration = s.real(8);
  if (!s.isNull(9) && !s.isNull(10)) {
    row.asset.location = Location{s.real(9), s.real(10), std::nullopt};
    if (!s.isNull(11)) row.asset.location->altitude = s.real(11);
  }
  row.fileSize = s.integer(12);
  row.fileTime = s.integer(13);
  return {std::move(row), s.integer(14)};
}

}  // namespace

std::vector<CatalogueAsset> Catalogue::assets(const std::filesystem::path& folder) {
  std::vector<CatalogueAsset> rows;
  Statement s(db_, std::string(kAssetColumns) + " order by rowid");
  while (s.step() == SQLITE_ROW) rows.push_back(assetRow(s, folder).first);
  return rows;
}

std::vector<CatalogueAsset> Catalogue::assets(const std::filesystem::path& folder,
                                              const std::set<std::string>& identifiers) {
  std::vector<std::pair<CatalogueAsset, std::int64_t>> found;
  Statement s(db_, std::string(kAssetColumns) + " where id = ?");
  for (const std::string& identifier : identifiers) {
    s.reset();
    s.bind(1, std::string_view(identifier));
    if (s.step() == SQLITE_ROW) found.push_back(assetRow(s, folder));
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  std::vector<CatalogueAsset> rows;
  rows.reserve(found.size());
  for (auto& entry : found) rows.push_back(std::move(entry.first));
  return rows;
}

bool Catalogue::insertAsset(const CatalogueAsset& row) {
  Statement s(db_,
              "insert into assets (id, path, mediaType, screenshot, created, modified, width, height, "
              "duration, latitude, longitude, altitude, fileSize, fileTime) "
              "values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  bindAssetValues(s, row);
  return done(s);
}

bool Catalogue::updateAsset(const CatalogueAsset& row) {
  Statement s(db_,
              "update assets set id = ?1, path = ?2, mediaType = ?3, screenshot = ?4, created = ?5, "
              "modified = ?6, width = ?7, height = ?8, duration = ?9, latitude = ?10, longitude = ?11, "
              "altitude = ?12, fileSize = ?13, fileTime = ?14 where id = ?1");
  bindAssetValues(s, row);
  return done(s);
}

bool Catalogue::deleteAsset(const std::string& localIdentifier) {
  Statement members(db_, "delete from members where asset = ?");
  members.bind(1, std::string_view(localIdentifier));
  Statement asset(db_, "delete from assets where id = ?");
  asset.bind(1, std::string_view(localIdentifier));
  return done(members) && done(asset);
}

std::vector<AssetCollection> Catalogue::albums() {
  std::vector<AssetCollection> albums;
  Statement s(db_, "select id, title, type, subtype from albums order by rowid");
  while (s.step() == SQLITE_ROW) {
    albums.push_back(AssetCollection{s.text(0), s.text(1), static_cast<CollectionType>(s.integer(2)),
                                     static_cast<CollectionSubtype>(s.integer(3))});
  }
  return albums;
}

bool Catalogue::insertAlbum(const AssetCollection& album) {
  Statement s(db_, "insert into albums (id, title, type, subtype) values (?, ?, ?, ?)");
  s.bind(1, std::string_view(album.localIdentifier))
      .bind(2, std::string_view(album.localizedTitle))
      .bind(3, static_cast<std::int64_t>(album.collectionType))
      .bind(4, static_cast<std::int64_t>(album.collectionSubtype));
  return done(s);
}

std::vector<std::string> Catalogue::members(const std::string& albumIdentifier) {
  std::vector<std::string> ids;
  Statement s(db_, "select asset from members where album = ? order by rowid");
  s.bind(1, std::string_view(albumIdentifier));
  while (s.step() == SQLITE_ROW) ids.push_back(s.text(0));
  return ids;
}

bool Catalogue::addMember(const std::string& albumIdentifier, const std::string& assetIdentifier) {
  Statement s(db_, "insert or ignore into members (album, asset) values (?, ?)");
  s.bind(1, std::string_view(albumIdentifier)).bind(2, std::string_view(assetIdentifier));
  return done(s);
}

bool Catalogue::removeMember(const std::string& albumIdentifier, const std::string& assetIdentifier) {
  Statement s(db_, "delete from members where album = ? and asset = ?");
  s.bind(1, std::string_view(albumIdentifier)).bind(2, std::string_view(assetIdentifier));
  return done(s);
}

std::optional<std::int64_t> Catalogue::setting(const std::string& key) {
  Statement s(db_, "select value from settings where key = ?");
  s.bind(1, std::string_view(key));
  if (s.step() != SQLITE_ROW || s.isNull(0)) return std::nullopt;
  return s.integer(0);
}

bool Catalogue::setSetting(const std::string& key, std::int64_t value) {
  Statement s(db_, "insert or replace into settings (key, value) values (?, ?)");
  s.bind(1, std::string_view(key)).bind(2, value);
  return done(s);
}

}  // namespace platform::photos
