#include "server/services/GalleryService.h"

#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "server/http/AdminJson.h"
#include "server/http/HttpUtil.h"
#include "server/storage/SyncListing.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;
using Outcome = GalleryStore::Outcome;
using Scope = GalleryStore::Scope;

// An album's cover photos in its listing: the cover and the two stacked
// behind it, as thumbnails that fill the album grid's largest cell (150
// points) at 3x.
constexpr std::size_t kCoverPhotos = 3;
constexpr int kCoverSide = 450;

// The keys of an image's content that the server keeps in columns.
constexpr const char* kOwnImageKeys[] = {"id",   "groupId", "tag",  "status",
                                         "type", "sha1",    "size", "isUbiImage"};

// The EXIF orientation (1 to 8) the photo's backup sent in its
// "exifInfo"; 1 when it sent none, or another value.
int sentOrientation(const GalleryImage& photo) {
  const auto exif = photo.content.find("exifInfo");
  if (exif == photo.content.end() || !exif->is_object()) return 1;
  const auto orientation = exif->find("orientation");
  if (orientation == exif->end() || !orientation->is_number_integer()) return 1;
  const auto value = orientation->get<std::int64_t>();
  return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
}

SignedReply notFound(const std::string& what) {
  return SignedReply::error(cloudcode::kNotFound, "no such " + what);
}

SignedReply failed() { return SignedReply::error(cloudcode::kServerError, "cannot store the gallery"); }

// The reply to a change the store did not make.
SignedReply refusal(Outcome outcome, const std::string& what) {
  switch (outcome) {
    case Outcome::NotFound:
      return notFound(what);
    case Outcome::SystemAlbum:
      return badRequest("the system albums can be neither renamed nor deleted");
    case Outcome::AlbumFull:
      return SignedReply::error(GalleryService::kAlbumFull, "the album is full");
    case Outcome::GalleryFull:
      return SignedReply::error(GalleryService::kGalleryFull, "the gallery is full");
    case Outcome::SpaceFull:
      return SignedReply::error(GalleryService::kSpaceFull, "the cloud space is full");
    default:
      return failed();
  }
}

// The reply to an album change: the album as the cloud holds it.
SignedReply albumReply(const GalleryStore::AlbumChange& change) {
  if (change.outcome != Outcome::Applied && change.outcome != Outcome::Kept) {
    return refusal(change.outcome, "album");
  }
  return SignedReply::ok(Json{{"content", change.album.json()}});
}

// A record id: a positive decimal number.
std::optional<std::int64_t> recordId(const std::string& text) {
  auto id = http::decimal(text);
  if (!id || *id <= 0) return std::nullopt;
  return id;
}

// A whole JSON number that fits 64 bits.
std::optional<std::int64_t> whole(const Json& value) {
  if (value.is_number_unsigned()) {
    auto number = value.get<std::uint64_t>();
    if (std::in_range<std::int64_t>(number)) return static_cast<std::int64_t>(number);
  } else if (value.is_number_integer()) {
    return value.get<std::int64_t>();
  }
  return std::nullopt;
}

bool isLowerHex(const Json& value, std::size_t digits) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A parameter that must be a JSON object; nullopt when it is missing or is
// not one.
std::optional<Json> objectParam(const SignedRequest& req, const char* name) {
  auto text = req.param(name);
  if (!text) return std::nullopt;
  Json value = http::parseJson(*text);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

// The "content" object of a "data" parameter.
std::optional<Json> dataContent(const SignedRequest& req) {
  auto data = objectParam(req, "data");
  if (!data || !data->contains("content") || !(*data)["content"].is_object()) return std::nullopt;
  return (*data)["content"];
}

// A client key: 1 to kMaxKeyBytes of text.
std::optional<std::string> clientKey(const SignedRequest& req) {
  auto ckey = req.param("ckey");
  if (!ckey || ckey->empty() || ckey->size() > GalleryService::kMaxKeyBytes) return std::nullopt;
  return ckey;
}

bool retryIsValid(const SignedRequest& req) {
  auto retry = req.param("retry");
  return !retry || http::decimal(*retry);
}

// A record's "tag" in a content object: none, or the version meant.
std::optional<std::optional<std::int64_t>> baseTagOf(const Json& content) {
  auto tag = content.find("tag");
  if (tag == content.end()) return std::optional<std::int64_t>();
  auto value = whole(*tag);
  if (!value) return std::nullopt;
  return std::optional<std::int64_t>(*value);
}

// An "id" in a content object must be the path's record, when present.
bool idAgrees(const Json& content, std::int64_t id) {
  auto given = content.find("id");
  return given == content.end() || whole(*given) == id;
}

// An album name as the client sends it ("fileName").
std::optional<std::string> albumName(const Json& content) {
  auto name = content.find("fileName");
  if (name == content.end() || !name->is_string()) return std::nullopt;
  std::string text = name->get<std::string>();
  if (text.empty() || text.size() > GalleryService::kMaxNameBytes) return std::nullopt;
  auto type = content.find("type");
  if (type != content.end() && *type != "group") return std::nullopt;
  return text;
}

// An upload as the client asks for it: the image to be and its blocks.
struct UploadRequest {
  GalleryImage image;
  std::vector<KssNode::BlockDigest> blocks;
};

std::optional<std::string> checkOptionalKinds(const Json& content) {
  for (const char* text : {"title", "mimeType", "shareId"}) {
    auto value = content.find(text);
    if (value != content.end() &&
        (!value->is_string() || value->get_ref<const std::string&>().size() > 1024)) {
      return std::string(text) + " must be a text";
    }
  }
  for (const char* date : {"dateTaken", "dateModified"}) {
    auto value = content.find(date);
    if (value != content.end() && !whole(*value)) return std::string(date) + " must be a whole number";
  }
  auto duration = content.find("duration");
  if (duration != content.end() && !(duration->is_number() && duration->get<double>() >= 0)) {
    return "duration must be a number of seconds";
  }
  auto exif = content.find("exifInfo");
  if (exif != content.end() && !exif->is_object()) return "exifInfo must be an object";
  return std::nullopt;
}

std::variant<UploadRequest, SignedReply> readUpload(const Json& data) {
  auto content = data.find("content");
  auto blockInfos = data.find("block_infos");
  if (content == data.end() || !content->is_object() || blockInfos == data.end() ||
      !blockInfos->is_array()) {
    return badRequest("data must hold the content and its block_infos");
  }
  UploadRequest upload;
  GalleryImage& image = upload.image;
  const std::int64_t albumId = whole(content->value("groupId", Json())).value_or(0);
  const std::int64_t size = whole(content->value("size", Json())).value_or(0);
  if (albumId <= 0) return badRequest("groupId must name an album");
  if (!isLowerHex(content->value("sha1", Json()), 40)) {
    return badRequest("sha1 must be 40 lower-case hex digits");
  }
  const auto maxSize = static_cast<std::int64_t>(KssNode::kMaxBlocks * KssNode::kBlockSize);
  if (size < 1 || size > maxSize) return badRequest("size must be 1 byte to 2 GiB");
  const Json typeValue = content->value("type", Json());
  const std::string type = typeValue.is_string() ? typeValue.get<std::string>() : "";
  if (type != "image" && type != "photo" && type != "video") {
    return badRequest("type must be image or video");
  }
  const Json fileName = content->value("fileName", Json());
  if (!fileName.is_string() || fileName.get<std::string>().empty() ||
      fileName.get<std::string>().size() > 255 ||
      fileName.get<std::string>().find_first_of(std::string("/\0", 2)) != std::string::npos) {
    return badRequest("fileName must be a file name");
  }
  if (auto problem = checkOptionalKinds(*content)) return badRequest(*problem);
  if (http::jsonText(*content).size() > GalleryService::kMaxContentBytes) {
    return badRequest("the content is too long");
  }

  const std::uint64_t total = static_cast<std::uint64_t>(size);
  const std::size_t count = static_cast<std::size_t>((total + KssNode::kBlockSize - 1) / KssNode::kBlockSize);
  if (blockInfos->size() != count) return badRequest("block_infos must hold one entry per 4 MiB block");
  for (std::size_t i = 0; i < count; ++i) {
    const Json& info = (*blockInfos)[i];
    const std::uint64_t expected =
        i + 1 < count ? KssNode::kBlockSize : total - (count - 1) * KssNode::kBlockSize;
    if (!info.is_object() || !isLowerHex(info.value("sha1", Json()), 40) ||
        !isLowerHex(info.value("md5", Json()), 32) ||
        whole(info.value("size", Json())) != static_cast<std::int64_t>(expected)) {
      return badRequest("block " + std::to_string(i) + " needs its sha1, md5 and size");
    }
    upload.blocks.push_back(KssNode::BlockDigest{info["sha1"].get<std::string>(), expected});
  }

  image.albumId = albumId;
  image.sha1 = (*content)["sha1"].get<std::string>();
  image.size = size;
  image.type = type == "video" ? "video" : "photo";
  image.content = *content;
  for (const char* key : kOwnImageKeys) image.content.erase(key);
  return upload;
}

// The image listing as the client reads it (each album in the form
// `albumJson` gives).
Json listingData(const GalleryLog::Page& page, bool images, bool albums,
                 const std::function<Json(const GalleryAlbum&)>& albumJson) {
  Json data{{"lastPage", page.lastPage},
            {"syncTag", page.syncTag},
            {"syncExtraInfo", page.syncExtraInfo}};
  if (images) {
    Json content = Json::array();
    for (const GalleryImage& image : page.images) content.push_back(image.json());
    data["content"] = std::move(content);
  }
  if (albums) {
    Json list = Json::array();
    for (const GalleryAlbum& album : page.albums) list.push_back(albumJson(album));
    data["list"] = std::move(list);
  }
  return data;
}

}  // namespace

GalleryService::GalleryService(Store& store, KssNode& kss, BlobStore& blobs,
                               std::function<int()> port)
    : kss_(kss),
      gallery_(store),
      log_(store, gallery_),
      thumbnails_(store, gallery_, kss, blobs, std::move(port)) {}

void GalleryService::registerOn(SignedEndpoints& endpoints) {
  auto bind = [this](Handler handler) {
    return [this, handler](const SignedRequest& req) {
      if (!gallery_.ensureUser(req.userId)) return failed();
      return (this->*handler)(req);
    };
  };
  // A route of one record: its id a positive decimal number.
  auto bindRecord = [this](RecordHandler handler, const char* arg) {
    return [this, handler, arg](const SignedRequest& req) {
      auto id = recordId(req.pathArg(arg));
      if (!id) return badRequest(std::string(arg) + " must be a decimal number");
      if (!gallery_.ensureUser(req.userId)) return failed();
      return (this->*handler)(req, *id);
    };
  };
  // The routes with fixed segments first: "album" and "image" are no image
  // ids.
  struct Route {
    bool post;
    const char* path;
    Handler handler;               // or
    RecordHandler recordHandler;   // with the id named by the path
    const char* arg;
  };
  const Route routes[] = {
      {false, "/full/album", &GalleryService::listAlbums, nullptr, nullptr},
      {true, "/full/album", &GalleryService::createAlbum, nullptr, nullptr},
      {false, "/full/album/{albumId}", nullptr, &GalleryService::listAlbum, "albumId"},
      {true, "/full/album/{albumId}", nullptr, &GalleryService::renameAlbum, "albumId"},
      {true, "/full/album/{albumId}/delete", nullptr, &GalleryService::removeAlbum, "albumId"},
      {true, "/full/image/batchdelete", &GalleryService::batchDelete, nullptr, nullptr},
      {false, "/full", &GalleryService::listAll, nullptr, nullptr},
      {true, "/full", &GalleryService::requestUpload, nullptr, nullptr},
      {false, "/full/{imageId}/storage", nullptr, &GalleryService::blocks, "imageId"},
      {true, "/full/{imageId}/storage", nullptr, &GalleryService::commit, "imageId"},
      {true, "/full/{imageId}/delete", nullptr, &GalleryService::removeImage, "imageId"},
      {false, "/thumbnails", &GalleryService::thumbnails, nullptr, nullptr},
  };
  for (const Route& route : routes) {
    SignedHandler handler = route.handler ? SignedHandler(bind(route.handler))
                                          : SignedHandler(bindRecord(route.recordHandler, route.arg));
    if (route.post) {
      endpoints.post(std::string(kBasePath) + route.path, kServiceId, std::move(handler));
    } else {
      endpoints.get(std::string(kBasePath) + route.path, kServiceId, std::move(handler));
    }
  }
}

std::mutex& GalleryService::commitLock(std::int64_t imageId) {
  return commitLocks_[static_cast<std::size_t>(imageId) % commitLocks_.size()];
}

void GalleryService::dropFiles(std::int64_t userId, const std::vector<std::string>& fileIds) {
  kss_.dropFiles(userId, fileIds);
}

SignedReply GalleryService::list(const SignedRequest& req, const Scope& scope) {
  auto read = SyncListing::read(req);
  if (auto* refused = std::get_if<SignedReply>(&read)) return *refused;
  auto page = log_.page(req.userId, scope, std::get<SyncListing>(read));
  if (!page) return SignedReply::error(cloudcode::kServerError, "cannot read the gallery");
  if (page->restart) return SyncListing::listAgain(page->syncExtraInfo);
  // A live album lists the thumbnail addresses of its cover and of the
  // photos stacked behind it, which the album grid's cells show, and with
  // them the orientation each photo's backup sent, by which the app turns
  // the thumbnail upright.
  const auto albumJson = [&](const GalleryAlbum& album) {
    Json json = album.json();
    if (album.status != GalleryStore::kAlbumLive) return json;
    Json urls = Json::array();
    Json orientations = Json::array();
    for (const GalleryImage& photo : gallery_.coverPhotos(req.userId, album.id, kCoverPhotos)) {
      urls.push_back(thumbnails_.address(req.userId, photo.id, kCoverSide, kCoverSide));
      orientations.push_back(sentOrientation(photo));
    }
    if (!urls.empty()) {
      json["thumbnailUrls"] = std::move(urls);
      json["thumbnailOrientations"] = std::move(orientations);
    }
    return json;
  };
  return SignedReply::ok(listingData(*page, scope.kind != Scope::Kind::Albums,
                                     scope.kind != Scope::Kind::Album, albumJson));
}

SignedReply GalleryService::listAll(const SignedRequest& req) {
  auto hidden = req.param("returnHiddenData");
  if (hidden && *hidden != "0" && *hidden != "1") return badRequest("returnHiddenData must be 0 or 1");
  return list(req, Scope{Scope::Kind::All, 0, hidden == std::string("1")});
}

SignedReply GalleryService::listAlbums(const SignedRequest& req) {
  return list(req, Scope{Scope::Kind::Albums, 0, false});
}

SignedReply GalleryService::listAlbum(const SignedRequest& req, std::int64_t albumId) {
  auto album = gallery_.album(req.userId, albumId);
  if (!album || album->status != GalleryStore::kAlbumLive) return notFound("album");
  return list(req, Scope{Scope::Kind::Album, albumId, true});
}

SignedReply GalleryService::thumbnails(const SignedRequest& req) {
  constexpr std::size_t kMaxIds = 10;
  if (!retryIsValid(req)) return badRequest("retry must be a decimal number");
  auto width = http::decimal(req.param("width").value_or(""));
  auto height = http::decimal(req.param("height").value_or(""));
  if (!width || !height || *width < 1 || *height < 1 || *width > GalleryThumbnails::kMaxSide ||
      *height > GalleryThumbnails::kMaxSide) {
    return badRequest("width and height must be 1 to 4096");
  }
  const std::string ids = req.param("ids").value_or("");
  std::vector<std::int64_t> wanted;
  for (std::size_t pos = 0; pos <= ids.size();) {
    std::size_t end = std::min(ids.find(',', pos), ids.size());
    auto id = recordId(ids.substr(pos, end - pos));
    if (!id || wanted.size() == kMaxIds) return badRequest("ids must be 1 to 10 image ids");
    wanted.push_back(*id);
    pos = end + 1;
  }
  Json content = Json::object();
  for (std::int64_t id : wanted) {
    auto image = gallery_.image(req.userId, id);
    if (!image || image->status != GalleryStore::kImageLive || image->type != "photo") continue;
    content[std::to_string(id)] = Json{
        {"isUrl", true},
        {"data", thumbnails_.address(req.userId, id, static_cast<int>(*width), static_cast<int>(*height))}};
  }
  return SignedReply::ok(Json{{"content", std::move(content)}});
}

SignedReply GalleryService::requestUpload(const SignedRequest& req) {
  if (!retryIsValid(req)) return badRequest("retry must be a decimal number");
  auto data = objectParam(req, "data");
  if (!data) return badRequest("data must be a JSON object");
  if (!clientKey(req)) return badRequest("ckey must be a text of 1 to 1024 bytes");
  auto hidden = req.param("isUbiImage").value_or("0");
  if (hidden != "0" && hidden != "1") return badRequest("isUbiImage must be 0 or 1");
  auto read = readUpload(*data);
  if (auto* refused = std::get_if<SignedReply>(&read)) return *refused;
  UploadRequest& upload = std::get<UploadRequest>(read);
  GalleryImage& image = upload.image;
  image.userId = req.userId;
  image.hidden = hidden == "1";

  if (auto held = gallery_.liveImageWith(req.userId, image.albumId, image.sha1, image.size)) {
    return SignedReply::ok(Json{{"content", held->json()}, {"fileExists", true}});
  }
  Outcome room = gallery_.room(req.userId, image.albumId, image.size);
  if (room != Outcome::Applied) return refusal(room, "album");
  SignedReply storage = kss_.beginUpload(req.userId, upload.blocks);
  if (storage.body.value("code", -1) != cloudcode::kOk) return storage;
  Json kss = storage.body["data"];
  image.fileMeta = kss["file_meta"].get<std::string>();
  auto added = gallery_.addUpload(std::move(image));
  if (added.outcome != Outcome::Applied) return failed();
  return SignedReply::ok(
      Json{{"content", added.image.json()}, {"fileExists", false}, {"kss", std::move(kss)}});
}

SignedReply GalleryService::commit(const SignedRequest& req, std::int64_t imageId) {
  if (!retryIsValid(req)) return badRequest("retry must be a decimal number");
  auto data = objectParam(req, "data");
  const Json kss = data ? data->value("kss", Json()) : Json();
  if (!kss.is_object() || !kss.value("file_meta", Json()).is_string() ||
      !kss.value("commit_metas", Json()).is_array()) {
    return badRequest("data must hold kss with its file_meta and commit_metas");
  }
  const std::string fileMeta = kss["file_meta"];
  std::lock_guard lock(commitLock(imageId));
  auto upload = gallery_.upload(req.userId, imageId);
  if (!upload) {
    // A commit sent again (its reply was lost) gets the image it made.
    auto image = gallery_.image(req.userId, imageId);
    if (image && image->status == GalleryStore::kImageLive && image->fileMeta == fileMeta) {
      return SignedReply::ok(Json{{"content", image->json()}});
    }
    return notFound("upload");
  }
  if (upload->fileMeta != fileMeta) return badRequest("file_meta is not the upload's");
  SignedReply stored = kss_.commitUpload(req.userId, fileMeta, kss["commit_metas"], upload->sha1);
  const int code = stored.body.value("code", -1);
  if (code == cloudcode::kNotFound) gallery_.dropUpload(req.userId, imageId);
  if (code == KssNode::kStorageFull) return refusal(Outcome::SpaceFull, "upload");
  if (code != cloudcode::kOk) return stored;
  const std::string fileId = stored.body["data"]["fileId"];
  auto change = gallery_.commitUpload(req.userId, imageId, fileId);
  if (change.outcome != Outcome::Applied) {
    // Nothing of a refused commit stays: the blocks' file goes, and the
    // upload with it (its blocks were taken).
    kss_.dropFiles(req.userId, {fileId});
    gallery_.dropUpload(req.userId, imageId);
    return refusal(change.outcome, "album");
  }
  return SignedReply::ok(Json{{"content", change.image.json()}});
}

SignedReply GalleryService::blocks(const SignedRequest& req, std::int64_t imageId) {
  if (!retryIsValid(req)) return badRequest("retry must be a decimal number");
  auto image = gallery_.image(req.userId, imageId);
  if (!image || image->status != GalleryStore::kImageLive) return notFound("image");
  SignedReply described = kss_.describe(req.userId, image->fileId);
  if (described.body.value("code", -1) != cloudcode::kOk) return described;
  return SignedReply::ok(Json{{"kss", described.body["data"]}});
}

GalleryStore::ImageChange GalleryService::deleteImage(std::int64_t userId, std::int64_t id,
                                                      bool resync) {
  auto change = gallery_.deleteImage(userId, id, std::nullopt, resync);
  dropFiles(userId, change.droppedFiles);
  return change;
}

SignedReply GalleryService::removeImage(const SignedRequest& req, std::int64_t imageId) {
  auto content = dataContent(req);
  if (!content) return badRequest("data must hold the image's content");
  if (req.param("ckey") != std::to_string(imageId) || !idAgrees(*content, imageId)) {
    return badRequest("ckey and the content's id must be the image's id");
  }
  auto baseTag = baseTagOf(*content);
  if (!baseTag) return badRequest("tag must be a whole number");
  auto change = gallery_.deleteImage(req.userId, imageId, *baseTag);
  dropFiles(req.userId, change.droppedFiles);
  if (change.outcome != Outcome::Applied && change.outcome != Outcome::Kept) {
    return refusal(change.outcome, "image");
  }
  return SignedReply::ok(Json{{"content", change.image.json()}});
}

SignedReply GalleryService::batchDelete(const SignedRequest& req) {
  Json batch = http::parseJson(req.param("content").value_or(""));
  if (!batch.is_array() || batch.empty() || batch.size() > kMaxBatch) {
    return badRequest("content must be a list of 1 to 50 images");
  }
  std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>> items;
  for (const Json& item : batch) {
    auto id = item.is_object() ? whole(item.value("id", Json())) : std::nullopt;
    auto tag = item.is_object() ? baseTagOf(item) : std::nullopt;
    if (!id || *id <= 0 || !tag) return badRequest("each image needs its id and tag");
    items.emplace_back(*id, *tag);
  }
  Json fail = Json::array();
  for (const auto& [id, tag] : items) {
    auto change = gallery_.deleteImage(req.userId, id, tag);
    dropFiles(req.userId, change.droppedFiles);
    if (change.outcome == Outcome::Failed) return failed();
    const bool gone = change.outcome == Outcome::Applied ||
                      (change.outcome == Outcome::Kept &&
                       change.image.status == GalleryStore::kImageDeleted);
    if (gone) continue;
    // Not deleted: the cloud's tag goes back, so that a further pass names
    // the version the cloud holds.
    fail.push_back(Json{{"id", id},
                        {"tag", change.outcome == Outcome::Kept ? Json(change.image.tag)
                                                                : (tag ? Json(*tag) : Json())}});
  }
  return SignedReply::ok(Json{{"fail", std::move(fail)}});
}

SignedReply GalleryService::createAlbum(const SignedRequest& req) {
  auto content = dataContent(req);
  auto name = content ? albumName(*content) : std::nullopt;
  if (!name) return badRequest("data must hold the album's content with its fileName");
  auto ckey = clientKey(req);
  if (!ckey) return badRequest("ckey must be a text of 1 to 1024 bytes");
  auto change = gallery_.createAlbum(req.userId, *name, *ckey);
  return albumReply(change);
}

SignedReply GalleryService::renameAlbum(const SignedRequest& req, std::int64_t albumId) {
  auto content = dataContent(req);
  auto name = content ? albumName(*content) : std::nullopt;
  if (!name || !idAgrees(*content, albumId)) {
    return badRequest("data must hold the album's content with its fileName");
  }
  auto baseTag = baseTagOf(*content);
  if (!baseTag) return badRequest("tag must be a whole number");
  if (!clientKey(req)) return badRequest("ckey must be a text of 1 to 1024 bytes");
  auto change = gallery_.renameAlbum(req.userId, albumId, *name, *baseTag);
  return albumReply(change);
}

SignedReply GalleryService::removeAlbum(const SignedRequest& req, std::int64_t albumId) {
  if (req.param("ckey") != std::to_string(albumId)) return badRequest("ckey must be the album's id");
  auto tag = http::decimal(req.param("tag").value_or(""));
  if (!tag) return badRequest("tag must be a decimal number");
  auto change = gallery_.deleteAlbum(req.userId, albumId, *tag);
  dropFiles(req.userId, change.droppedFiles);
  return albumReply(change);
}

void GalleryService::registerPlainOn(httplib::Server& server) {
  using admin::adminError;
  using admin::adminReply;
  thumbnails_.registerOn(server);
  server.Post("/_admin/gallery", [this](const httplib::Request& req, httplib::Response& res) {
    auto body = admin::adminBody(req, res);
    if (!body) return;
    bool ok = true;
    auto userId = admin::member<std::int64_t>(*body, "userId", 0, ok);
    auto op = admin::member<std::string>(*body, "op", "", ok);
    auto id = admin::member<std::int64_t>(*body, "id", 0, ok);
    bool resync = admin::member<bool>(*body, "resync", false, ok);
    if (!ok || userId <= 0 || op != "delete" || id <= 0) {
      return adminError(res, 400, "userId, op (delete) and the image id are needed");
    }
    auto change = deleteImage(userId, id, resync);
    if (change.outcome == Outcome::NotFound) return adminError(res, 404, "no such image");
    if (change.outcome == Outcome::Failed) return adminError(res, 500, "cannot store the gallery");
    adminReply(res, 200, Json{{"ok", true}, {"image", change.image.json()}});
  });
  server.Get("/_admin/gallery", [this](const httplib::Request& req, httplib::Response& res) {
    auto userId = http::decimal(req.get_param_value("userId"));
    if (!userId) return adminError(res, 400, "userId is needed");
    Json albums = Json::array();
    for (const GalleryAlbum& album : gallery_.albums(*userId)) albums.push_back(album.json());
    Json images = Json::array();
    for (const GalleryImage& image : gallery_.images(*userId)) images.push_back(image.json());
    adminReply(res, 200, Json{{"ok", true}, {"albums", std::move(albums)}, {"images", std::move(images)}});
  });
}

}  // namespace localcloud
