// The gallery service's requests: album and image listings, thumbnails, the
// upload request and its commit, block lists, deletions and album changes.
#include <algorithm>
#include <map>
#include <utility>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/sync/LMListingBounds.h"
#include "cloud/model/LMAssetJSON.h"
#include "platform/JsonValues.h"
#include "platform/NumberValues.h"
#include "utils/LMErrors.h"
#include "utils/LMLogRedaction.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "utils/ServiceHosts.h"

namespace lumora {

struct LMImageSyncAdapter::GalleryCall {
  const char* method;
  std::string path;  // after "/lum/gallery/v3/user/<user id>"
  platform::Result<platform::Json> parameters;
  double minimumSeconds;  // of each send; 0: not paced
  bool sendsRetry;        // "retry" = the try's index
};

namespace {

constexpr const char* kGalleryPath = "/lum/gallery/v3/user/";
constexpr std::size_t kMaxThumbnailIDs = 10;
constexpr std::size_t kBatchDeleteRun = 10;
constexpr int kBatchDeletePasses = 3;

std::string joined(const std::vector<std::int64_t>& numbers) {
  std::string text;
  for (std::int64_t number : numbers) {
    if (!text.empty()) text += ",";
    text += std::to_string(number);
  }
  return text;
}

std::string limitText(std::optional<std::int64_t> limit) {
  if (!limit) return "200";
  return std::to_string(std::min<std::int64_t>(*limit, 500));
}

platform::Json listingParameters(std::optional<std::int64_t> syncTag,
                                 const std::optional<std::string>& syncExtraInfo,
                                 std::optional<std::int64_t> limit) {
  platform::Json parameters{{"syncTag", std::to_string(syncTag.value_or(0))}, {"limit", limitText(limit)}};
  if (syncExtraInfo && !syncExtraInfo->empty()) parameters["syncExtraInfo"] = *syncExtraInfo;
  return parameters;
}

void addFilterTags(platform::Json& parameters, const std::vector<std::int64_t>& filterTags) {
  if (!filterTags.empty()) parameters["filterTag"] = joined(filterTags);
}

// The JSON text of `object` as one parameter. A text the writer cannot
// hold (one that is not UTF-8) fails the request here, before anything is
// sent: a failure of this machine's (kLMLocalErrorInvalidParameters, the
// writer's error underneath), never told as the cloud's.
platform::Result<platform::Json> withJSONText(platform::Json parameters, const char* name,
                                              const platform::Json& object) {
  auto text = LMUtils::stringFromJSONObject(object);
  if (!text) {
    return LMUtils::localErrorWithErrorCode(
               kLMLocalErrorInvalidParameters,
               {{kLMErrorReasonKey, "The request cannot be made on this machine: its JSON cannot hold a text of it."},
                {kLMErrorDescriptionKey, kLMErrorTitleParam}})
        .withUnderlying(text.error());
  }
  parameters[name] = *text;
  return parameters;
}

platform::Error unknownReply(const std::string& reason) {
  auto error = LMUtils::errorForLumoraUnknownErrorWithUserInfo(
      {{kLMErrorReasonKey, reason}, {kLMErrorDescriptionKey, "Unknown Error"}});
  LM_LOG_ERROR("{}", error.description());
  return error;
}

// The reply's "data" when it is a non-empty object.
std::optional<platform::Json> replyData(const std::shared_ptr<LMHTTPRequestOperation>& operation) {
  auto reply = operation->result();
  if (!reply.ok() || !reply->is_object()) return std::nullopt;
  auto data = reply->find("data");
  if (data == reply->end() || !platform::isNonEmptyObject(*data)) return std::nullopt;
  return *data;
}

platform::Status outcomeOf(const std::shared_ptr<LMHTTPRequestOperation>& operation) {
  auto reply = operation->result();
  if (reply.ok()) return platform::Status::success();
  return reply.error();
}

// One listing (of an album's images or of the albums), page by page.
template <class Record>
struct PagedListing {
  const char* key;   // "content" or "list"
  const char* what;  // "images" or "albums"
  std::function<std::shared_ptr<LMHTTPRequestOperation>(std::int64_t, const std::optional<std::string>&)> page;
  std::function<std::optional<Record>(const platform::Json&)> read;

  void run(std::optional<std::int64_t> sync, const std::optional<std::string>& syncExtraInfo,
           const std::function<void(std::int64_t, const std::string&, const std::vector<Record>&, bool)>& success,
           const LMImageSyncAdapter::FailBlock& fail) const {
    LMListingBounds::Watermark from{sync.value_or(0), syncExtraInfo};
    bool resync = !from.extraInfo || from.extraInfo->empty();
    if (resync) from = LMListingBounds::Watermark{};
    std::map<std::int64_t, Record> records;
    const std::string failed = std::string("The operation of loading Lumora ") + what + " is failed";
    // Past a bound the listing fails; nothing of it is stored.
    LMListingBounds bounds;
    auto refused = [&] {
      if (fail) fail(unknownReply(failed + bounds.refusal()));
    };
    for (;;) {
      if (!bounds.nextPage(from)) return refused();
      auto operation = page(from.tag, from.extraInfo);
      if (auto outcome = outcomeOf(operation); !outcome) {
        const platform::Error& error = outcome.error();
        if (auto again = LMListingBounds::restartAfter(error, from)) {
          if (!bounds.restart()) return refused();
          records.clear();
          from = std::move(*again);
          resync = true;
          continue;
        }
        LM_LOG_ERROR("{}", error.description());
        if (fail) fail(error);
        return;
      }
      auto data = replyData(operation);
      if (!data) {
        if (fail) fail(unknownReply(failed + "."));
        return;
      }
      auto list = data->find(key);
      if (list != data->end() && platform::isNonEmptyArray(*list)) {
        for (const auto& json : *list) {
          if (!bounds.hold(json)) return refused();
          auto record = read(json);
          if (record && record->serverID) records.insert_or_assign(*record->serverID, std::move(*record));
        }
      }
      const bool last = assetjson::integerAt(*data, "lastPage").value_or(0) != 0;
      // Only a tag the cloud can be sent back becomes the watermark.
      auto tagValue = data->find("syncTag");
      auto nextTag = tagValue == data->end() ? std::nullopt : LMListingBounds::syncTagOf(*tagValue);
      if (!nextTag) {
        if (fail) fail(unknownReply(failed + ", because couldn't find the param \"syncTag\"."));
        return;
      }
      auto nextExtra = assetjson::textAt(*data, "syncExtraInfo");
      if (!nextExtra) {
        if (fail) fail(unknownReply(failed + ", because couldn't find the param \"syncExtraInfo\"."));
        return;
      }
      from = LMListingBounds::Watermark{*nextTag, *nextExtra};
      if (last) {
        std::vector<Record> result;
        result.reserve(records.size());
        for (auto& entry : records) result.push_back(std::move(entry.second));
        if (success) success(from.tag, *from.extraInfo, result, resync);
        return;
      }
    }
  }
};

}  // namespace

std::string LMImageSyncAdapter::galleryURL() const {
  return baseURLForService(forTest() ? kGalleryPreviewHostKey : ServiceHosts::kCloud);
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::galleryOperation(const std::string& method,
                                                                             const std::string& URLString,
                                                                             const platform::Json& parameters) {
  return httpRequestManager()->requestWithMethod(method, URLString, parameters, kLumoraPassportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::sendGalleryRequest(const GalleryCall& call) {
  auto userId = httpRequestManager()->sessionSource()->userId();
  std::optional<platform::Error> refused;
  if (!userId || userId->empty()) {
    refused = LMNotLoggedInError();
  } else if (!call.parameters.ok()) {
    refused = call.parameters.error();
  }
  if (refused) {
    LM_LOG_ERROR("{}", refused->description());
    return std::make_shared<LMHTTPRequestOperation>(*refused, kLumoraPassportSid);
  }
  const std::string url = galleryURL() + kGalleryPath + *userId + call.path;
  platform::Json parameters = *call.parameters;
  int tries = 0;
  return requestLoop()->run(
      [&] {
        if (call.sendsRetry) parameters["retry"] = std::to_string(tries);
        ++tries;
        return galleryOperation(call.method, url, parameters);
      },
      /*followRedirects=*/true, platform::seconds(call.minimumSeconds));
}

// ---- Single requests ----

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestImageAndAlbumListWithSyncTag(
    std::optional<std::int64_t> syncTag, const std::optional<std::string>& syncExtraInfo,
    std::optional<std::int64_t> limit, const std::vector<std::int64_t>& filterTags, bool hiddenData) {
  platform::Json parameters = listingParameters(syncTag, syncExtraInfo, limit);
  addFilterTags(parameters, filterTags);
  parameters["returnHiddenData"] = hiddenData ? "1" : "0";
  return sendGalleryRequest({"GET", "/full", std::move(parameters), 0.6, false});
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestImageListInAlbumWithSyncTag(
    std::optional<std::int64_t> syncTag, const std::optional<std::string>& syncExtraInfo, std::int64_t albumId,
    std::optional<std::int64_t> limit, const std::vector<std::int64_t>& filterTags) {
  platform::Json parameters = listingParameters(syncTag, syncExtraInfo, limit);
  addFilterTags(parameters, filterTags);
  return sendGalleryRequest({"GET", "/full/album/" + std::to_string(albumId), std::move(parameters), 0.6, false});
}

namespace {

platform::Result<platform::Json> thumbnailParameters(const std::vector<std::int64_t>& imageIDs, double width,
                                                     double height) {
  if (imageIDs.size() > kMaxThumbnailIDs) {
    return LMUtils::localErrorWithErrorCode(
        kLMLocalErrorInvalidParameters, {{kLMErrorReasonKey, "The count of image IDs shouldn't be more than 10."},
                                         {kLMErrorDescriptionKey, kLMErrorTitleTooManyImageIDs}});
  }
  return platform::Json{{"ids", joined(imageIDs)},
                        {"width", std::to_string(platform::saturatingCast<int>(width))},
                        {"height", std::to_string(platform::saturatingCast<int>(height))}};
}

}  // namespace

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestImageThumbnailUrls(
    const std::vector<std::int64_t>& imageIDs, double width, double height) {
  return sendGalleryRequest({"GET", "/thumbnails", thumbnailParameters(imageIDs, width, height), 0.6, true});
}

platform::Result<platform::http::Request> LMImageSyncAdapter::requestImageThumbnailUrls(
    const std::vector<std::int64_t>& imageIDs, ThumbnailSize size) {
  auto parameters = thumbnailParameters(imageIDs, size.width, size.height);
  auto userId = httpRequestManager()->sessionSource()->userId();
  auto session = httpRequestManager()->sessionSource()->sessionForSid(kLumoraPassportSid);
  std::optional<platform::Error> refused;
  if (!userId || userId->empty() || !session.ok()) {
    refused = LMNotLoggedInError();
  } else if (!parameters.ok()) {
    refused = parameters.error();
  }
  if (refused) {
    LM_LOG_ERROR("{}", refused->description());
    return *refused;
  }
  (*parameters)["retry"] = "0";
  return httpRequestManager()->requestSerializer()->requestWithMethod(
      "GET", galleryURL() + kGalleryPath + *userId + "/thumbnails", *parameters, *session);
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestImageUploadUrlsWithImage(const LMImage& image) {
  platform::Result<platform::Json> parameters = LMUtils::localErrorWithErrorCode(
      kLMLocalErrorGeneral, {{kLMErrorReasonKey, "Image is nil"}, {kLMErrorDescriptionKey, "Image Not Found"}});
  if (platform::isNonEmptyArray(image.blockInfos)) {
    parameters = withJSONText(
        platform::Json{{"ckey", image.assetID.value_or(std::string())}, {"isUbiImage", "0"}}, "data",
        platform::Json{{"content", image.dictionaryForLumoraJSON()}, {"block_infos", image.blockInfos}});
  }
  return sendGalleryRequest({"POST", "/full", std::move(parameters), 0.4, true});
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestImageConfirmWithImageID(
    std::int64_t imageID, const platform::Json& fileMeta, const platform::Json& commitMetas) {
  auto parameters = withJSONText(platform::Json::object(), "data",
                                 {{"kss", {{"file_meta", fileMeta}, {"commit_metas", commitMetas}}}});
  return sendGalleryRequest({"POST", "/full/" + std::to_string(imageID) + "/storage", std::move(parameters), 0, true});
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestImageDownloadBlocksWithImageID(
    std::int64_t imageID) {
  return sendGalleryRequest(
      {"GET", "/full/" + std::to_string(imageID) + "/storage", platform::Json::object(), 0, true});
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestDeleteImage(const LMImage& image) {
  platform::Result<platform::Json> parameters = LMUtils::invalidParametersError();
  if (image.serverID) {
    parameters = withJSONText(platform::Json{{"ckey", std::to_string(*image.serverID)}}, "data",
                              {{"content", image.dictionaryForLumoraJSON()}});
  }
  const std::string id = image.serverID ? std::to_string(*image.serverID) : std::string();
  return sendGalleryRequest({"POST", "/full/" + id + "/delete", std::move(parameters), 0.25, false});
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestBatchDeleteImages(
    const std::vector<LMImage>& images) {
  platform::Json content = platform::Json::array();
  for (const LMImage& image : images) {
    content.push_back({{"id", image.serverID ? platform::Json(*image.serverID) : platform::Json()},
                       {"tag", image.sync ? platform::Json(*image.sync) : platform::Json()}});
  }
  auto parameters = withJSONText(platform::Json::object(), "content", content);
  return sendGalleryRequest({"POST", "/full/image/batchdelete", std::move(parameters), 2.5, false});
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestAlbumListWithSyncTag(
    std::optional<std::int64_t> syncTag, const std::optional<std::string>& syncExtraInfo,
    std::optional<std::int64_t> limit) {
  return sendGalleryRequest({"GET", "/full/album", listingParameters(syncTag, syncExtraInfo, limit), 2.5, false});
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestCreateAlbum(const LMAlbum& album) {
  auto parameters = withJSONText(platform::Json{{"ckey", album.assetID.value_or(std::string())}}, "data",
                                 {{"content", album.dictionaryForLumoraJSON()}});
  return sendGalleryRequest({"POST", "/full/album", std::move(parameters), 1.25, false});
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestRenameAlbum(const LMAlbum& album) {
  platform::Result<platform::Json> parameters = LMUtils::invalidParametersError();
  if (album.serverID) {
    parameters = withJSONText(platform::Json{{"ckey", album.assetID.value_or(std::string())}}, "data",
                              {{"content", album.dictionaryForLumoraJSON()}});
  }
  const std::string id = album.serverID ? std::to_string(*album.serverID) : std::string();
  return sendGalleryRequest({"POST", "/full/album/" + id, std::move(parameters), 1.25, false});
}

std::shared_ptr<LMHTTPRequestOperation> LMImageSyncAdapter::requestDeleteAlbum(std::int64_t albumID,
                                                                               std::int64_t sync) {
  platform::Json parameters{{"ckey", std::to_string(albumID)}, {"tag", std::to_string(sync)}};
  return sendGalleryRequest(
      {"POST", "/full/album/" + std::to_string(albumID) + "/delete", std::move(parameters), 1.25, false});
}

// ---- Listings and runs ----

void LMImageSyncAdapter::requestImageListInAlbumWithSync(std::optional<std::int64_t> sync,
                                                         const std::optional<std::string>& syncExtraInfo,
                                                         std::int64_t albumId, const ImageListSuccess& success,
                                                         const FailBlock& fail) {
  PagedListing<LMImage> listing{
      "content", "images",
      [this, albumId](std::int64_t tag, const std::optional<std::string>& extra) {
        return requestImageListInAlbumWithSyncTag(tag, extra, albumId, std::nullopt, {});
      },
      [](const platform::Json& json) -> std::optional<LMImage> {
        LMImage image = LMImage::initWithLumoraJSON(json);
        if (image.isUbiImage.value_or(false)) return std::nullopt;
        return image;
      }};
  listing.run(sync, syncExtraInfo, success, fail);
}

void LMImageSyncAdapter::requestAlbumListWithSync(std::optional<std::int64_t> sync,
                                                  const std::optional<std::string>& syncExtraInfo,
                                                  const AlbumListSuccess& success, const FailBlock& fail) {
  PagedListing<LMAlbum> listing{
      "list", "albums",
      [this](std::int64_t tag, const std::optional<std::string>& extra) {
        return requestAlbumListWithSyncTag(tag, extra, std::nullopt);
      },
      [](const platform::Json& json) -> std::optional<LMAlbum> { return LMAlbum::initWithLumoraJSON(json); }};
  listing.run(sync, syncExtraInfo, success, fail);
}

void LMImageSyncAdapter::requestImageThumbnailUrls(const std::vector<std::int64_t>& imageIDs, double width,
                                                   double height,
                                                   const std::function<void(const platform::Json& urls)>& success,
                                                   const FailBlock& fail) {
  platform::Json urls = platform::Json::object();
  for (std::size_t start = 0; start < imageIDs.size(); start += kMaxThumbnailIDs) {
    const auto end = std::min(imageIDs.size(), start + kMaxThumbnailIDs);
    auto operation = requestImageThumbnailUrls(
        std::vector<std::int64_t>(imageIDs.begin() + static_cast<std::ptrdiff_t>(start),
                                  imageIDs.begin() + static_cast<std::ptrdiff_t>(end)),
        width, height);
    if (auto outcome = outcomeOf(operation); !outcome) {
      if (fail) fail(outcome.error());
      return;
    }
    auto data = replyData(operation);
    auto content = data ? assetjson::dictionaryAt(*data, "content") : std::nullopt;
    if (!content) {
      if (fail) fail(unknownReply("The operation of downlonding image URLs is failed."));
      return;
    }
    urls.update(*content);
  }
  if (success) success(urls);
}

void LMImageSyncAdapter::requestBatchDeleteImages(
    const std::vector<LMImage>& images,
    const std::function<void(const std::vector<LMImage>& failed, const std::optional<platform::Error>& error)>&
        finish) {
  std::vector<LMImage> pending = images;
  for (int pass = 0; pass < kBatchDeletePasses && !pending.empty(); ++pass) {
    std::vector<LMImage> refused;
    for (std::size_t start = 0; start < pending.size(); start += kBatchDeleteRun) {
      const auto end = std::min(pending.size(), start + kBatchDeleteRun);
      auto operation = requestBatchDeleteImages(
          std::vector<LMImage>(pending.begin() + static_cast<std::ptrdiff_t>(start),
                               pending.begin() + static_cast<std::ptrdiff_t>(end)));
      if (auto outcome = outcomeOf(operation); !outcome) {
        if (finish) finish(refused, outcome.error());
        return;
      }
      auto data = replyData(operation);
      if (!data) {
        if (finish) finish({}, unknownReply("The batch deletion of images is failed."));
        return;
      }
      LM_LOG_VERBOSE("Batch deletion: {}", LMLoggableJSONText(*data));
      auto fails = assetjson::listAt(*data, "fail");
      if (!fails) continue;
      for (const auto& entry : *fails) {
        LMImage image;
        image.serverID = assetjson::integerAt(entry, "id");
        image.sync = assetjson::integerAt(entry, "tag");
        refused.push_back(std::move(image));
      }
    }
    pending = std::move(refused);
  }
  if (finish) finish(pending, std::nullopt);
}

}  // namespace lumora
