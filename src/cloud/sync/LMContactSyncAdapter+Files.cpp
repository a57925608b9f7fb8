// The file service's requests (a file's description, the chunks of an
// upload, the look-up by digest) and the downloads of contact photos
// through the descriptions it hands out.
#include <utility>

#include "cloud/kss/LMKssFileHelper.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/Bytes.h"
#include "cloud/request/LMDataRequestOperation.h"
#include "platform/JsonValues.h"
#include "platform/Random.h"
#include "utils/LMErrors.h"
#include "utils/LMLogRedaction.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "utils/MD5.h"
#include "utils/RC4.h"
#include "utils/SHA1.h"

namespace lumora {
namespace {

using platform::Json;

constexpr const char* kUploadFilePart = "uploadfile0";

// "/lum/file/v2/user/<user>/full" and what follows it.
std::string filePath(const std::string& userId, const char* rest = "") {
  return "/lum/file/v2/user/" + userId + "/full" + rest;
}

platform::Error downloadFailure() {
  return LMUtils::errorForLumoraUnknownErrorWithUserInfo(
      {{kLMErrorReasonKey, "The operation of downloading user's photo is failed."},
       {kLMErrorDescriptionKey, "Unknown Error"}});
}

platform::Error loggedDownloadFailure() {
  platform::Error error = downloadFailure();
  LM_LOG_ERROR("{}", error.description());
  return error;
}

// The file description of a download reply: {"data": {"data": {...}}} with
// the file id asked for.
const Json* descriptionIn(const Json& reply, const std::string& fileId) {
  if (!platform::isNonEmptyObject(reply)) return nullptr;
  auto outer = reply.find("data");
  if (outer == reply.end() || !platform::isNonEmptyObject(*outer)) return nullptr;
  auto description = outer->find("data");
  if (description == outer->end() || !platform::isNonEmptyObject(*description)) return nullptr;
  if (platform::stringAt(*description, "fileId") != fileId) return nullptr;
  return &*description;
}

}  // namespace

// ---- Requests ----

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::multipartOperationWithURL(
    const std::string& URLString, const platform::Json& parameters, const FilePart& part) {
  return httpRequestManager()->POST(URLString, parameters, kLumoraPassportSid,
                                    [&part](LMStreamingMultipartFormData& form) {
                                      form.appendPartWithFileData(part.data, part.name, part.fileName, part.mimeType);
                                    });
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::requestFileDownloadURLWithFileID(
    const std::string& fileId, std::optional<std::int64_t> retry) {
  auto userId = signedInUserId();
  if (!userId) return notSignedIn();
  const std::string url = lumFileURL() + filePath(*userId);
  std::int64_t attempt = retry.value_or(0);
  return sendPaced(
      [&] {
        const Json parameters{{"fileId", fileId}, {"type", kFileType}, {"retry", std::to_string(attempt++)}};
        return operationWithMethod("GET", url, parameters);
      },
      kFileMinimumSeconds);
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::sendChunk(const std::string& path, Json parameters,
                                                                        const platform::Bytes& chunk,
                                                                        const std::string& ext) {
  // Each chunk travels under a key of its own, made from a hint the service
  // is told.
  const std::string hint = platform::randomUUIDString();
  std::optional<platform::Bytes> encrypted = rc4DataWithKey(chunk, MD5Data(hint));
  if (!encrypted) {
    platform::Error error = LMUtils::localErrorWithErrorCode(
        kLMLocalErrorGeneral, {{kLMErrorReasonKey, "The photo cannot be encrypted."},
                               {kLMErrorDescriptionKey, kLMErrorTitlePhoto}});
    LM_LOG_ERROR("{}", error.description());
    return std::make_shared<LMHTTPRequestOperation>(error, kLumoraPassportSid);
  }
  parameters["ckeyhint"] = hint;
  const FilePart part{kUploadFilePart, "tmp" + ext, "application/octet-stream", std::move(*encrypted)};
  const std::string url = lumFileURL() + path;
  return sendPaced([&] { return multipartOperationWithURL(url, parameters, part); }, kFileMinimumSeconds);
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::requestUploadFileFirstChunkData(
    const platform::Bytes& chunk, const std::optional<std::string>& ext, const std::optional<std::string>& digest,
    bool isLast) {
  if (isLast && (!platform::hasText(ext) || !platform::hasText(digest))) return nullptr;
  auto userId = signedInUserId();
  if (!userId) return notSignedIn();
  Json parameters{{"type", kFileType}, {"st", isLast ? "2" : "1"}};
  if (isLast) {
    parameters["ext"] = *ext;
    parameters["digest"] = *digest;
  }
  return sendChunk(filePath(*userId), std::move(parameters), chunk, ext.value_or(""));
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::requestUploadFileOtherChunkData(
    const platform::Bytes& chunk, const std::string& tmpId, const std::string& serverId, std::uint64_t offset,
    const std::optional<std::string>& ext, const std::optional<std::string>& digest, bool isLast) {
  auto userId = signedInUserId();
  if (!userId) return notSignedIn();
  Json parameters{{"type", kFileType},
                  {"tmpid", tmpId},
                  {"_hostingserver", serverId},
                  {"offset", std::to_string(offset)},
                  {"st", isLast ? "2" : "1"}};
  if (platform::hasText(ext)) parameters["ext"] = *ext;
  if (platform::hasText(digest)) parameters["digest"] = *digest;
  return sendChunk(filePath(*userId, "/more"), std::move(parameters), chunk, ext.value_or(""));
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::requestFileExistenceWithDigest(
    const std::string& digest) {
  auto userId = signedInUserId();
  if (!userId) return notSignedIn();
  const std::string url = lumFileURL() + filePath(*userId, "/digest");
  const Json parameters{{"type", kFileType}, {"digest", digest}};
  return sendPaced([&] { return operationWithMethod("POST", url, parameters); }, kFileMinimumSeconds);
}

// ---- Downloads ----

void LMContactSyncAdapter::requestDownloadContactPhotoWithFileID(const std::string& fileId,
                                                                 const std::optional<std::string>& digest,
                                                                 const PhotoDownloadSuccess& success,
                                                                 const Failure& fail) {
  auto failWith = [&fail](const platform::Error& error) {
    if (fail) fail(error);
  };
  auto succeed = [&success](const std::optional<platform::Bytes>& data, bool unchanged) {
    if (success) success(data, unchanged);
  };
  platform::Result<Json> reply = requestFileDownloadURLWithFileID(fileId, std::nullopt)->result();
  if (!reply.ok()) return failWith(reply.error());
  const Json* description = descriptionIn(*reply, fileId);
  if (description == nullptr) return failWith(loggedDownloadFailure());

  if (auto mfs = description->find("mfs"); mfs != description->end() && platform::isNonEmptyObject(*mfs)) {
    // The file asked about is the one held here: nothing to fetch.
    if (platform::hasText(digest) && platform::stringAt(*mfs, "fileSha1") == *digest) {
      return succeed(std::nullopt, true);
    }
    return requestDownloadContactPhotoWithMfs(
        *mfs, [&](platform::Bytes data) { succeed(std::move(data), false); }, failWith);
  }
  if (auto kss = description->find("kss"); kss != description->end() && platform::isNonEmptyString(*kss)) {
    auto result = LMKssFileHelper::downloadKssFile(*description, std::nullopt, nullptr);
    if (!result.ok()) return failWith(result.error());
    const auto* data = std::get_if<platform::Bytes>(&*result);
    if (data == nullptr) return failWith(downloadFailure());
    return succeed(*data, false);
  }
  failWith(loggedDownloadFailure());
}

void LMContactSyncAdapter::requestDownloadContactPhotoWithMfs(const platform::Json& mfs,
                                                              const std::function<void(platform::Bytes data)>& success,
                                                              const Failure& fail) {
  auto failWith = [&fail](const platform::Error& error) {
    if (fail) fail(error);
  };
  const std::optional<std::string> tmpUrl = platform::stringAt(mfs, "tmpUrl");
  if (!platform::hasText(tmpUrl)) return failWith(downloadFailure());
  // A key that is not hex (or spells no byte) could never decrypt the file:
  // refused before anything is fetched.
  std::optional<platform::Bytes> key;
  if (auto ckey = mfs.find("ckey"); ckey != mfs.end() && !ckey->is_null()) {
    if (ckey->is_string()) key = platform::hexData(ckey->get_ref<const std::string&>());
    if (!key || key->empty()) return failWith(downloadFailure());
  }

  platform::http::Request request;
  request.url = *tmpUrl;
  request.method = "GET";
  request.timeoutSeconds = httpRequestManager()->requestSerializer()->timeoutInterval();
  // No stored photo is larger; a longer body is no photo of ours.
  request.maxResponseBytes = kPhotoSizeLimit;
  if (auto agent = httpRequestManager()->requestSerializer()->valueForHTTPHeaderField("User-Agent")) {
    request.headers.set("User-Agent", *agent);
  }
  LM_LOG_INFO("download contact photo: {}", LMLoggableLink(*tmpUrl));
  std::shared_ptr<LMDataRequestOperation> operation;
  fileAPIProtectionTime(kFileMinimumSeconds, [&] {
    operation = LMDataRequestOperation::initWithRequest(std::move(request));
    operation->start();
    operation->waitUntilFinished();
  });
  if (auto error = operation->error()) {
    LM_LOG_ERROR("{}", error->description());
    return failWith(*error);
  }
  const auto response = operation->response();
  std::optional<platform::Bytes> body = operation->responseData();
  if (!response || response->statusCode() < 200 || response->statusCode() > 299 || !body) {
    return failWith(downloadFailure());
  }
  if (key) {
    body = rc4DataWithKey(*body, *key);
    if (!body) return failWith(downloadFailure());
  }
  const std::optional<std::string> fileSha1 = platform::stringAt(mfs, "fileSha1");
  if (!fileSha1 || *fileSha1 != sha1String(*body)) return failWith(downloadFailure());
  if (success) success(std::move(*body));
}

bool LMContactSyncAdapter::isRefusedPhotoError(const platform::Error& error) {
  return (error.domain() == kLMServerErrorDomain && error.code() == kPhotoTooLargeCode) ||
         error.domain() == platform::kImageErrorDomain;
}

}  // namespace lumora
