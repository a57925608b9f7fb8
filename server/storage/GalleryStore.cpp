#include "server/storage/GalleryStore.h"


#include <chrono>
#include <utility>

#include "server/http/HttpUtil.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;
using Outcome = GalleryStore::Outcome;

const char* kAlbumColumns =
    "SELECT user_id, id, tag, status, name, ckey, create_time, update_time FROM gallery_albums ";
const char* kImageColumns =
    "SELECT user_id, id, album_id, tag, status, type, sha1, size, hidden, file_id, file_meta, "
    "content FROM gallery_images ";
const char* kUploadColumns =
    "SELECT user_id, image_id, album_id, 0, '', type, sha1, size, hidden, '', file_meta, "
    "content FROM gallery_uploads ";

GalleryAlbum readAlbum(const SqlStatement& st) {
  return GalleryAlbum{st.integer(0), st.integer(1), st.integer(2), static_cast<int>(st.integer(3)),
                      st.text(4),    st.text(5),    st.integer(6), st.integer(7)};
}

GalleryImage readImage(const SqlStatement& st) {
  Json content = Json::parse(st.text(11), nullptr, false);
  return GalleryImage{st.integer(0), st.integer(1), st.integer(2),     st.integer(3),
                      st.text(4),    st.text(5),    st.text(6),        st.integer(7),
                      st.integer(8) != 0, st.text(9), st.text(10),
                      content.is_object() ? std::move(content) : Json::object()};
}

// The album with its live images counted.
std::optional<GalleryAlbum> findAlbum(SqlConnection& db, std::int64_t userId, std::int64_t id) {
  SqlStatement st(db, std::string(kAlbumColumns) + "WHERE user_id = ? AND id = ?");
  st.bindAll(userId, id);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  GalleryAlbum album = readAlbum(st);
  SqlStatement count(db,
                     "SELECT COUNT(*), COALESCE(SUM(size), 0) FROM gallery_images "
                     "WHERE user_id = ? AND album_id = ? AND status = ?");
  count.bindAll(userId, id, GalleryStore::kImageLive);
  if (count.step() != SQLITE_ROW) return std::nullopt;
  album.imageCount = count.integer(0);
  album.totalSize = count.integer(1);
  return album;
}

std::optional<GalleryImage> findImage(SqlConnection& db, const char* columns, std::int64_t userId,
                                      std::int64_t id) {
  std::string sql = std::string(columns) + (columns == kUploadColumns ? "WHERE user_id = ? AND image_id = ?"
                                                                      : "WHERE user_id = ? AND id = ?");
  SqlStatement st(db, sql);
  st.bindAll(userId, id);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return readImage(st);
}

// Raises one of the user's counters; the new value, 0 on failure.
std::int64_t next(SqlConnection& db, std::int64_t userId, const char* counter) {
  SqlStatement st(db, std::string("UPDATE gallery_users SET ") + counter + " = " + counter +
                          " + 1 WHERE user_id = ? RETURNING " + counter);
  st.bind(1, userId);
  return st.step() == SQLITE_ROW ? st.integer(0) : 0;
}
std::int64_t nextTag(SqlConnection& db, std::int64_t userId) { return next(db, userId, "last_tag"); }
std::int64_t nextId(SqlConnection& db, std::int64_t userId) { return next(db, userId, "last_id"); }

// Raises a horizon (the user's or an album's) to at least `tag`.
bool raiseHorizon(SqlConnection& db, std::int64_t userId, std::int64_t tag,
                  std::optional<std::int64_t> albumId = std::nullopt) {
  if (albumId) {
    return runSql(db, "UPDATE gallery_albums SET horizon = MAX(horizon, ?) WHERE user_id = ? AND id = ?",
                  tag, userId, *albumId);
  }
  return runSql(db, "UPDATE gallery_users SET horizon = MAX(horizon, ?) WHERE user_id = ?", tag,
                userId);
}

// One number that a query answers (a count, a sum, a counter).
std::optional<std::int64_t> number(SqlConnection& db, const std::string& sql, std::int64_t userId,
                                   std::optional<std::int64_t> second = std::nullopt) {
  SqlStatement st(db, sql);
  st.bind(1, userId);
  if (second) st.bind(2, *second);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return st.integer(0);
}

Outcome roomIn(SqlConnection& db, std::int64_t userId, std::int64_t albumId, std::int64_t size,
               const GalleryLimits& limits) {
  auto album = findAlbum(db, userId, albumId);
  if (!album) return Outcome::NotFound;
  if (album->status != GalleryStore::kAlbumLive) return Outcome::NotFound;
  if (album->imageCount >= limits.maxImagesPerAlbum) return Outcome::AlbumFull;
  SqlStatement st(db,
                  "SELECT COUNT(*), COALESCE(SUM(size), 0) FROM gallery_images "
                  "WHERE user_id = ? AND status = ?");
  st.bindAll(userId, GalleryStore::kImageLive);
  if (st.step() != SQLITE_ROW) return Outcome::Failed;
  if (st.integer(0) >= limits.maxImages) return Outcome::GalleryFull;
  if (st.integer(1) + size > limits.maxBytes) return Outcome::SpaceFull;
  return Outcome::Applied;
}

bool writeAlbum(SqlConnection& db, const GalleryAlbum& album) {
  return runSql(db,
                "INSERT INTO gallery_albums (user_id, id, tag, status, name, ckey, create_time, "
                "update_time) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT (user_id, id) DO "
                "UPDATE SET tag = ?3, status = ?4, name = ?5, update_time = ?8",
                album.userId, album.id, album.tag, static_cast<std::int64_t>(album.status),
                album.name, album.ckey, album.createTime, album.updateTime);
}

bool writeImage(SqlConnection& db, const GalleryImage& image) {
  return runSql(db,
                "INSERT OR REPLACE INTO gallery_images (user_id, id, album_id, tag, status, type, "
                "sha1, size, hidden, file_id, file_meta, content) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                image.userId, image.id, image.albumId, image.tag, image.status, image.type,
                image.sha1, image.size, image.hidden, image.fileId, image.fileMeta,
                http::jsonText(image.content));
}

// An image of the album came or went: the album's record changed (its
// count, size, update time and cover), so it takes a new tag and the album
// listings report it again.
bool touchAlbum(SqlConnection& db, std::int64_t userId, std::int64_t albumId) {
  const std::int64_t tag = nextTag(db, userId);
  return tag != 0 && runSql(db, "UPDATE gallery_albums SET update_time = ?, tag = ? WHERE user_id = ? AND id = ?",
                            http::nowMs(), tag, userId, albumId);
}

// Drops the oldest tombstones past `max` (of albums, or of images), raising
// the horizons that listings from below them must respect.
bool trimTombstones(SqlConnection& db, std::int64_t userId, bool albums, std::int64_t max) {
  const std::string table = albums ? "gallery_albums" : "gallery_images";
  const std::string deleted = albums ? "status = 2" : "status = 'deleted'";
  auto count = number(db, "SELECT COUNT(*) FROM " + table + " WHERE user_id = ? AND " + deleted, userId);
  if (!count) return false;
  if (*count <= max) return true;
  SqlStatement drop(db, "DELETE FROM " + table + " WHERE user_id = ?1 AND " + deleted +
                            " AND tag <= (SELECT tag FROM " + table + " WHERE user_id = ?1 AND " +
                            deleted + " ORDER BY tag DESC LIMIT 1 OFFSET ?2) RETURNING tag, " +
                            (albums ? "id" : "album_id"));
  drop.bindAll(userId, std::max<std::int64_t>(max, 0));
  std::vector<std::pair<std::int64_t, std::int64_t>> dropped;
  int rc = SQLITE_ROW;
  while ((rc = drop.step()) == SQLITE_ROW) dropped.emplace_back(drop.integer(0), drop.integer(1));
  if (rc != SQLITE_DONE) return false;
  for (const auto& [tag, albumId] : dropped) {
    bool raised = albums ? runSql(db,
                                  "UPDATE gallery_users SET albums_horizon = MAX(albums_horizon, ?) "
                                  "WHERE user_id = ?",
                                  tag, userId)
                         : raiseHorizon(db, userId, tag, albumId);
    if (!raised || !raiseHorizon(db, userId, tag)) return false;
  }
  return true;
}

// Reads the album a rename or delete is about into `change`; false, with
// the outcome set, when the change cannot be made.
bool albumChangeable(SqlConnection& db, std::int64_t userId, std::int64_t id,
                     std::optional<std::int64_t> baseTag, GalleryStore::AlbumChange& change) {
  auto album = findAlbum(db, userId, id);
  if (!album) {
    change.outcome = Outcome::NotFound;
  } else if (id == GalleryStore::kCameraAlbum || id == GalleryStore::kScreenshotAlbum) {
    change.outcome = Outcome::SystemAlbum;
  } else {
    change.album = std::move(*album);
    if (change.album.status == GalleryStore::kAlbumLive && (!baseTag || *baseTag == change.album.tag)) {
      return true;
    }
    change.outcome = Outcome::Kept;
  }
  return false;
}

}  // namespace

Json GalleryAlbum::json() const {
  return Json{{"id", id},
              {"name", name},
              {"tag", tag},
              {"status", status},
              {"createTime", createTime},
              {"lastUpdateTime", updateTime},
              {"totalImageCount", imageCount},
              {"totalSize", totalSize},
              {"sharerCount", 0}};
}

Json GalleryImage::json() const {
  Json out = content.is_object() ? content : Json::object();
  out["id"] = id;
  out["groupId"] = albumId;
  if (tag != 0) out["tag"] = tag;
  if (!status.empty()) out["status"] = status;
  out["type"] = type;
  out["sha1"] = sha1;
  out["size"] = size;
  out["isUbiImage"] = hidden;
  return out;
}

GalleryStore::GalleryStore(Store& store) : store_(store) {
  store_.createTables("gallery",
                      "CREATE TABLE IF NOT EXISTS gallery_users ("
                      " user_id INTEGER PRIMARY KEY, last_id INTEGER NOT NULL,"
                      " last_tag INTEGER NOT NULL, horizon INTEGER NOT NULL DEFAULT 0,"
                      " albums_horizon INTEGER NOT NULL DEFAULT 0);"
                      "CREATE TABLE IF NOT EXISTS gallery_albums ("
                      " user_id INTEGER NOT NULL, id INTEGER NOT NULL, tag INTEGER NOT NULL,"
                      " status INTEGER NOT NULL, name TEXT NOT NULL, ckey TEXT NOT NULL,"
                      " create_time INTEGER NOT NULL, update_time INTEGER NOT NULL,"
                      " horizon INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (user_id, id));"
                      "CREATE INDEX IF NOT EXISTS gallery_albums_tag ON gallery_albums(user_id, tag);"
                      "CREATE TABLE IF NOT EXISTS gallery_images ("
                      " user_id INTEGER NOT NULL, id INTEGER NOT NULL, album_id INTEGER NOT NULL,"
                      " tag INTEGER NOT NULL, status TEXT NOT NULL, type TEXT NOT NULL,"
                      " sha1 TEXT NOT NULL, size INTEGER NOT NULL, hidden INTEGER NOT NULL,"
                      " file_id TEXT NOT NULL, file_meta TEXT NOT NULL, content TEXT NOT NULL,"
                      " PRIMARY KEY (user_id, id));"
                      "CREATE INDEX IF NOT EXISTS gallery_images_tag ON gallery_images(user_id, tag);"
                      "CREATE INDEX IF NOT EXISTS gallery_images_album"
                      " ON gallery_images(user_id, album_id, tag);"
                      "CREATE INDEX IF NOT EXISTS gallery_images_status"
                      " ON gallery_images(user_id, status, album_id, sha1, size);"
                      "CREATE TABLE IF NOT EXISTS gallery_uploads ("
                      " user_id INTEGER NOT NULL, image_id INTEGER NOT NULL, album_id INTEGER NOT NULL,"
                      " type TEXT NOT NULL, sha1 TEXT NOT NULL, size INTEGER NOT NULL,"
                      " hidden INTEGER NOT NULL, file_meta TEXT NOT NULL, content TEXT NOT NULL,"
                      " PRIMARY KEY (user_id, image_id));");
}

void GalleryStore::setLimits(const GalleryLimits& limits) {
  std::lock_guard lock(limitsMutex_);
  limits_ = limits;
}

GalleryLimits GalleryStore::limits() const {
  std::lock_guard lock(limitsMutex_);
  return limits_;
}

template <typename Change, typename Body>
Change GalleryStore::write(Body body) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  SqlTransaction transaction(db, SqlTransaction::Mode::Write);
  if (!transaction.ok()) return Change{};
  Change change = body(db);
  if (change.outcome == Outcome::Failed || !transaction.commit()) return Change{};
  return change;
}

bool GalleryStore::ensureUser(std::int64_t userId) {
  {
    Store::Access access(store_, Store::Access::Mode::Read);
    if (number(access.connection(), "SELECT COUNT(*) FROM gallery_users WHERE user_id = ?", userId) ==
        1) {
      return true;
    }
  }
  auto made = write<AlbumChange>([userId](SqlConnection& db) {
    AlbumChange change;
    SqlStatement user(db,
                      "INSERT OR IGNORE INTO gallery_users (user_id, last_id, last_tag) "
                      "VALUES (?, 2, 2) RETURNING user_id");
    user.bind(1, userId);
    int rc = user.step();
    if (rc == SQLITE_DONE) {  // made meanwhile by another call
      change.outcome = Outcome::Kept;
      return change;
    }
    if (rc != SQLITE_ROW) return change;
    user.step();
    const std::int64_t now = http::nowMs();
    for (auto [id, name] : {std::pair{kCameraAlbum, "untitled"}, std::pair{kScreenshotAlbum, "snapshot"}}) {
      GalleryAlbum album{userId, id, id, kAlbumLive, name, "", now, now};
      if (!writeAlbum(db, album)) return change;
    }
    change.outcome = Outcome::Applied;
    return change;
  });
  return made.outcome != Outcome::Failed;
}

std::optional<GalleryAlbum> GalleryStore::album(std::int64_t userId, std::int64_t id) {
  Store::Access access(store_, Store::Access::Mode::Read);
  return findAlbum(access.connection(), userId, id);
}

std::vector<GalleryAlbum> GalleryStore::albums(std::int64_t userId) {
  std::vector<std::int64_t> ids;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlConnection& db = access.connection();
  SqlTransaction snapshot(db, SqlTransaction::Mode::Read);
  {
    SqlStatement st(db, "SELECT id FROM gallery_albums WHERE user_id = ? ORDER BY id");
    st.bind(1, userId);
    while (st.step() == SQLITE_ROW) ids.push_back(st.integer(0));
  }
  std::vector<GalleryAlbum> out;
  for (std::int64_t id : ids) {
    if (auto album = findAlbum(db, userId, id)) out.push_back(std::move(*album));
  }
  return out;
}

std::optional<GalleryImage> GalleryStore::image(std::int64_t userId, std::int64_t id) {
  Store::Access access(store_, Store::Access::Mode::Read);
  return findImage(access.connection(), kImageColumns, userId, id);
}

std::vector<GalleryImage> GalleryStore::images(std::int64_t userId) {
  std::vector<GalleryImage> out;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), std::string(kImageColumns) + "WHERE user_id = ? ORDER BY id");
  st.bind(1, userId);
  while (st.step() == SQLITE_ROW) out.push_back(readImage(st));
  return out;
}

std::vector<GalleryImage> GalleryStore::coverPhotos(std::int64_t userId, std::int64_t albumId, std::size_t limit) {
  std::vector<GalleryImage> photos;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  std::string(kImageColumns) +
                      "WHERE user_id = ? AND album_id = ? AND status = ? "
                      "AND type = 'photo' AND hidden = 0 ORDER BY id DESC LIMIT ?");
  st.bindAll(userId, albumId, kImageLive, static_cast<std::int64_t>(limit));
  while (st.step() == SQLITE_ROW) photos.push_back(readImage(st));
  return photos;
}

std::optional<GalleryImage> GalleryStore::liveImageWith(std::int64_t userId, std::int64_t albumId,
                                                        const std::string& sha1, std::int64_t size) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  std::string(kImageColumns) +
                      "WHERE user_id = ? AND status = ? AND album_id = ? AND sha1 = ? AND size = ? "
                      "ORDER BY id LIMIT 1");
  st.bindAll(userId, kImageLive, albumId, sha1, size);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return readImage(st);
}

GalleryStore::AlbumChange GalleryStore::createAlbum(std::int64_t userId, const std::string& name,
                                                    const std::string& ckey) {
  const GalleryLimits limits = this->limits();
  return write<AlbumChange>([&](SqlConnection& db) {
    AlbumChange change;
    SqlStatement same(db, std::string(kAlbumColumns) +
                              "WHERE user_id = ? AND status = ? AND ckey = ? AND name = ? LIMIT 1");
    same.bindAll(userId, static_cast<std::int64_t>(kAlbumLive), ckey, name);
    if (same.step() == SQLITE_ROW) {
      auto album = findAlbum(db, userId, same.integer(1));
      if (!album) return change;
      change.outcome = Outcome::Kept;
      change.album = std::move(*album);
      return change;
    }
    auto live = number(db, "SELECT COUNT(*) FROM gallery_albums WHERE user_id = ? AND status = ?",
                       userId, kAlbumLive);
    if (!live) return change;
    if (*live >= limits.maxAlbums) {
      change.outcome = Outcome::GalleryFull;
      return change;
    }
    const std::int64_t now = http::nowMs();
    GalleryAlbum album{userId, nextId(db, userId), nextTag(db, userId), kAlbumLive, name, ckey, now, now};
    if (album.id == 0 || album.tag == 0 || !writeAlbum(db, album)) return change;
    change.outcome = Outcome::Applied;
    change.album = std::move(album);
    return change;
  });
}

GalleryStore::AlbumChange GalleryStore::renameAlbum(std::int64_t userId, std::int64_t id,
                                                    const std::string& name,
                                                    std::optional<std::int64_t> baseTag) {
  return write<AlbumChange>([&](SqlConnection& db) {
    AlbumChange change;
    if (!albumChangeable(db, userId, id, baseTag, change)) return change;
    change.album.name = name;
    change.album.tag = nextTag(db, userId);
    change.album.updateTime = http::nowMs();
    if (change.album.tag == 0 || !writeAlbum(db, change.album)) return change;
    change.outcome = Outcome::Applied;
    return change;
  });
}

GalleryStore::AlbumChange GalleryStore::deleteAlbum(std::int64_t userId, std::int64_t id,
                                                    std::optional<std::int64_t> baseTag) {
  const GalleryLimits limits = this->limits();
  return write<AlbumChange>([&](SqlConnection& db) {
    AlbumChange change;
    if (!albumChangeable(db, userId, id, baseTag, change)) return change;
    {
      SqlStatement images(db,
                          "DELETE FROM gallery_images WHERE user_id = ? AND album_id = ? "
                          "RETURNING file_id");
      images.bindAll(userId, id);
      int rc = SQLITE_ROW;
      while ((rc = images.step()) == SQLITE_ROW) {
        if (!images.text(0).empty()) change.droppedFiles.push_back(images.text(0));
      }
      if (rc != SQLITE_DONE) return change;
    }
    change.album.status = kAlbumDeleted;
    change.album.tag = nextTag(db, userId);
    change.album.updateTime = http::nowMs();
    change.album.imageCount = 0;
    change.album.totalSize = 0;
    // Its images went without tombstones: a user-wide listing from before
    // cannot report them.
    if (change.album.tag == 0 || !writeAlbum(db, change.album) ||
        !runSql(db, "DELETE FROM gallery_uploads WHERE user_id = ? AND album_id = ?", userId, id) ||
        !raiseHorizon(db, userId, change.album.tag) ||
        !trimTombstones(db, userId, true, limits.maxDeletedAlbums)) {
      return change;
    }
    change.outcome = Outcome::Applied;
    return change;
  });
}

GalleryStore::Outcome GalleryStore::room(std::int64_t userId, std::int64_t albumId,
                                         std::int64_t size) {
  const GalleryLimits limits = this->limits();
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlConnection& db = access.connection();
  SqlTransaction snapshot(db, SqlTransaction::Mode::Read);
  return roomIn(db, userId, albumId, size, limits);
}

GalleryStore::ImageChange GalleryStore::addUpload(GalleryImage upload) {
  const GalleryLimits limits = this->limits();
  return write<ImageChange>([&](SqlConnection& db) {
    ImageChange change;
    upload.id = nextId(db, upload.userId);
    upload.tag = 0;
    upload.status.clear();
    upload.fileId.clear();
    if (upload.id == 0 ||
        !runSql(db,
                "INSERT INTO gallery_uploads (user_id, image_id, album_id, type, sha1, size, "
                "hidden, file_meta, content) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                upload.userId, upload.id, upload.albumId, upload.type, upload.sha1, upload.size,
                upload.hidden, upload.fileMeta, http::jsonText(upload.content)) ||
        !runSql(db,
                "DELETE FROM gallery_uploads WHERE user_id = ?1 AND image_id <= (SELECT image_id "
                "FROM gallery_uploads WHERE user_id = ?1 ORDER BY image_id DESC LIMIT 1 OFFSET ?2)",
                upload.userId, std::max<std::int64_t>(limits.maxOpenUploads, 1))) {
      return change;
    }
    change.outcome = Outcome::Applied;
    change.image = std::move(upload);
    return change;
  });
}

std::optional<GalleryImage> GalleryStore::upload(std::int64_t userId, std::int64_t imageId) {
  Store::Access access(store_, Store::Access::Mode::Read);
  return findImage(access.connection(), kUploadColumns, userId, imageId);
}

void GalleryStore::dropUpload(std::int64_t userId, std::int64_t imageId) {
  Store::Access access(store_, Store::Access::Mode::Write);
  runSql(access.connection(), "DELETE FROM gallery_uploads WHERE user_id = ? AND image_id = ?",
         userId, imageId);
}

GalleryStore::ImageChange GalleryStore::commitUpload(std::int64_t userId, std::int64_t imageId,
                                                     const std::string& fileId) {
  const GalleryLimits limits = this->limits();
  return write<ImageChange>([&](SqlConnection& db) {
    ImageChange change;
    auto upload = findImage(db, kUploadColumns, userId, imageId);
    if (!upload) return ImageChange{Outcome::NotFound, {}, {}};
    Outcome room = roomIn(db, userId, upload->albumId, upload->size, limits);
    if (room != Outcome::Applied) return ImageChange{room, {}, {}};
    change.image = std::move(*upload);
    change.image.status = kImageLive;
    change.image.fileId = fileId;
    change.image.tag = nextTag(db, userId);
    if (change.image.tag == 0 || !writeImage(db, change.image) ||
        !runSql(db, "DELETE FROM gallery_uploads WHERE user_id = ? AND image_id = ?", userId,
                imageId) ||
        !touchAlbum(db, userId, change.image.albumId)) {
      return change;
    }
    change.outcome = Outcome::Applied;
    return change;
  });
}

GalleryStore::ImageChange GalleryStore::deleteImage(std::int64_t userId, std::int64_t id,
                                                    std::optional<std::int64_t> baseTag,
                                                    bool resync) {
  const GalleryLimits limits = this->limits();
  return write<ImageChange>([&](SqlConnection& db) {
    ImageChange change;
    auto image = findImage(db, kImageColumns, userId, id);
    if (!image) return ImageChange{Outcome::NotFound, {}, {}};
    change.image = std::move(*image);
    const bool live = change.image.status == kImageLive;
    if (!resync && (!live || (baseTag && *baseTag != change.image.tag))) {
      change.outcome = Outcome::Kept;
      return change;
    }
    if (!change.image.fileId.empty()) change.droppedFiles.push_back(change.image.fileId);
    change.image.fileId.clear();
    change.image.status = kImageDeleted;
    change.image.tag = nextTag(db, userId);
    if (change.image.tag == 0) return change;
    bool stored = resync ? runSql(db, "DELETE FROM gallery_images WHERE user_id = ? AND id = ?",
                                  userId, id) &&
                               raiseHorizon(db, userId, change.image.tag, change.image.albumId) &&
                               raiseHorizon(db, userId, change.image.tag)
                         : writeImage(db, change.image) &&
                               trimTombstones(db, userId, false, limits.maxDeletedImages);
    if (!stored || !touchAlbum(db, userId, change.image.albumId)) return change;
    change.outcome = Outcome::Applied;
    return change;
  });
}

std::optional<GalleryStore::ChangeSet> GalleryStore::changedSince(
    std::int64_t userId, const Scope& scope, std::int64_t sinceTag, std::size_t limit,
    std::size_t maxBytes, const std::set<std::int64_t>& skipTags) {
  ChangeSet set;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlConnection& db = access.connection();
  // One snapshot: the records, the newest tag and the horizon agree.
  SqlTransaction snapshot(db, SqlTransaction::Mode::Read);
  if (!snapshot.ok()) return std::nullopt;
  {
    SqlStatement st(db,
                    "SELECT u.last_tag, CASE ?2 WHEN 0 THEN u.albums_horizon WHEN 1 THEN "
                    "COALESCE(a.horizon, 0) ELSE u.horizon END FROM gallery_users u "
                    "LEFT JOIN gallery_albums a ON a.user_id = u.user_id AND a.id = ?3 "
                    "WHERE u.user_id = ?1");
    st.bindAll(userId, static_cast<std::int64_t>(scope.kind), scope.albumId);
    int rc = st.step();
    if (rc == SQLITE_ROW) {
      set.lastTag = st.integer(0);
      set.horizon = st.integer(1);
    } else if (rc != SQLITE_DONE) {
      return std::nullopt;
    }
  }
  const char* albums = "SELECT 0, id, tag, 0 FROM gallery_albums WHERE user_id = ?1 AND tag > ?2";
  const char* images =
      "SELECT 1, id, tag, length(content) FROM gallery_images WHERE user_id = ?1 AND tag > ?2 "
      "AND (?3 = 0 OR album_id = ?3) AND (hidden = 0 OR ?4)";
  std::string sql = scope.kind == Scope::Kind::Albums ? albums
                    : scope.kind == Scope::Kind::Album
                        ? std::string(images)
                        : std::string(albums) + " UNION ALL " + images;
  SqlStatement st(db, sql + " ORDER BY 3");
  st.bindAll(userId, sinceTag, scope.kind == Scope::Kind::Album ? scope.albumId : 0,
             scope.kind != Scope::Kind::All || scope.hidden);
  set.scannedTag = sinceTag;
  std::size_t count = 0;
  std::size_t bytes = 0;
  int rc = SQLITE_ROW;
  while ((rc = st.step()) == SQLITE_ROW) {
    if (count >= limit || (count > 0 && bytes >= maxBytes)) {
      set.more = true;
      break;
    }
    set.scannedTag = st.integer(2);
    if (skipTags.count(set.scannedTag) != 0) continue;
    ++count;
    bytes += static_cast<std::size_t>(st.integer(3));
    if (st.integer(0) == 0) {
      auto album = findAlbum(db, userId, st.integer(1));
      if (!album) return std::nullopt;
      set.albums.push_back(std::move(*album));
    } else {
      auto image = findImage(db, kImageColumns, userId, st.integer(1));
      if (!image) return std::nullopt;
      set.images.push_back(std::move(*image));
    }
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return std::nullopt;
  return set;
}

}  // namespace localcloud
