// The upload of contact photos: one person's picture (made upright and of a
// type the cloud shows, looked up by digest, then sent in chunks), and a
// contact's photo and thumbnail with the ids the cloud gives them.
#include <algorithm>
#include <utility>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/media/Image.h"
#include "platform/JsonValues.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "utils/SHA1.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;
using platform::Json;

platform::Error uploadFailure() {
  platform::Error error = LMUtils::errorForLumoraUnknownErrorWithUserInfo(
      {{kLMErrorReasonKey, "The operation of uploading user's photo is failed."},
       {kLMErrorDescriptionKey, "Unknown Error"}});
  LM_LOG_ERROR("{}", error.description());
  return error;
}

// The "data" object of a reply, or nullptr.
const Json* replyData(const Json& reply) {
  if (!reply.is_object()) return nullptr;
  auto data = reply.find("data");
  return data != reply.end() && data->is_object() ? &*data : nullptr;
}

// What goes to the cloud for a stored picture: the stored bytes, or new
// ones (`rewritten`) when it must be turned upright or is of a type the
// cloud does not show.
struct Prepared {
  platform::Bytes data;
  std::string ext;
  bool rewritten = false;
};

platform::Result<Prepared> prepare(platform::Bytes stored) {
  std::optional<std::string> ext = LMUtils::extFromImageData(stored);
  platform::Result<platform::Image> decoded = platform::Image::imageWithData(stored);
  std::optional<platform::Image> upright =
      decoded.ok() ? LMUtils::imageRecoverOrientationWithImage(*decoded) : std::nullopt;
  const bool shown = ext == ".jpg" || ext == ".png" || ext == ".gif";
  if (!upright && shown) return Prepared{std::move(stored), *ext, false};
  if (!decoded.ok()) return decoded.error();
  const platform::Image& image = upright ? *upright : *decoded;
  const bool png = upright && ext == ".png";
  platform::Result<platform::Bytes> encoded = png ? image.PNGRepresentation() : image.JPEGRepresentation(1.0);
  if (!encoded.ok()) return encoded.error();
  return Prepared{std::move(*encoded), png ? ".png" : ".jpg", true};
}

}  // namespace

void LMContactSyncAdapter::requestUploadPhotoWithContact(ab::Record person, bool isThumbnail,
                                                         const PhotoUploadFinish& finish) {
  std::uint64_t byteCount = 0;
  auto report = [&](const std::optional<std::string>& fileId, const std::optional<std::string>& digest,
                    const std::optional<platform::Error>& error) {
    if (finish) finish(fileId, digest, byteCount, error);
  };
  auto failWith = [&](const platform::Error& error) {
    LM_LOG_ERROR("{}", error.description());
    report(std::nullopt, std::nullopt, error);
  };

  std::optional<platform::Bytes> stored =
      person.imageData(isThumbnail ? ab::ImageFormat::Thumbnail : ab::ImageFormat::OriginalSize);
  if (!stored || stored->empty()) return report(std::nullopt, std::nullopt, std::nullopt);
  if (isThumbnail) {
    // A thumbnail is sent as stored or not at all: it is never written back.
    std::optional<std::string> ext = LMUtils::extFromImageData(*stored);
    auto decoded = platform::Image::imageWithData(*stored);
    const bool shown = ext == ".jpg" || ext == ".png" || ext == ".gif";
    if (!shown || !decoded.ok() || LMUtils::imageRecoverOrientationWithImage(*decoded)) return;
  }
  // A picture that cannot be encoded can never be sent: a failure, never a
  // success that leaves the contact's old ids in place.
  platform::Result<Prepared> prepared = prepare(std::move(*stored));
  if (!prepared.ok()) return failWith(prepared.error());
  const platform::Bytes& data = prepared->data;
  if (prepared->rewritten) {
    if (platform::Status written = person.setImageData(data); !written.ok()) {
      return failWith(LMUtils::errorFromABAddressBookError(written.error()));
    }
    byteCount = data.size();
  }

  const std::string digest = sha1String(data);
  // The cloud refuses such a file: it is not sent at all.
  if (data.size() >= kPhotoSizeLimit) {
    std::optional<LMContact> contact = LMContact::initWithABRecord(person);
    return failWith(platform::Error(kLMServerErrorDomain, kPhotoTooLargeCode,
                                    {{"contact", contact ? contact->dictionaryForLumoraJSON() : Json()}}));
  }

  platform::Result<Json> known = requestFileExistenceWithDigest(digest)->result();
  if (!known.ok()) return report(std::nullopt, std::nullopt, known.error());
  if (const Json* found = replyData(*known)) {
    if (auto fileId = platform::stringAt(*found, "fileId"); platform::hasText(fileId)) {
      return report(fileId, digest, std::nullopt);
    }
  }

  callDelegateProcess(kLMSyncProcessPhotoData);
  std::string tmpId;
  std::string serverId;
  for (std::uint64_t offset = 0; offset < data.size();) {
    const std::uint64_t length = std::min<std::uint64_t>(kPhotoChunkSize, data.size() - offset);
    const bool last = offset + length == data.size();
    const auto from = data.begin() + static_cast<std::ptrdiff_t>(offset);
    const platform::Bytes chunk(from, from + static_cast<std::ptrdiff_t>(length));
    auto operation = offset == 0 ? requestUploadFileFirstChunkData(chunk, prepared->ext, digest, last)
                                 : requestUploadFileOtherChunkData(chunk, tmpId, serverId, offset, prepared->ext,
                                                                   digest, last);
    platform::Result<Json> reply = operation ? operation->result() : Json();
    if (!reply.ok()) return report(std::nullopt, std::nullopt, reply.error());
    if (const Json* uploaded = replyData(*reply)) {
      if (last) {
        auto fileId = platform::stringAt(*uploaded, "fileId");
        if (platform::hasText(fileId)) return report(fileId, digest, std::nullopt);
      } else {
        tmpId = platform::stringAt(*uploaded, "tmpid").value_or(tmpId);
        serverId = platform::stringAt(*uploaded, "_hostingserver").value_or(serverId);
      }
    }
    offset += length;
  }
  report(std::nullopt, std::nullopt, uploadFailure());
}

void LMContactSyncAdapter::requestUploadPhotoWithContact(LMContact& contact, ab::AddressBook* addressBook,
                                                         const PhotoUploadSuccess& success, const Failure& fail) {
  const ab::Record person = LMManagedRecordContext::recordABPersonWithRecordID(contact.recordID, addressBook);
  if (!person || person.id() == ab::kInvalidRecordId) {
    platform::Error error = LMUtils::invalidParametersError();
    LM_LOG_ERROR("{}", error.description());
    if (fail) fail(error);
    return;
  }
  if (!person.hasImageData()) {
    contact.setPhotoArray(nullptr);
    contact.photoDigest.reset();
    return;
  }
  callDelegateProcess(kLMSyncProcessPhotoUpload);
  std::optional<platform::Bytes> picture = person.imageData(ab::ImageFormat::OriginalSize);
  if (picture && LMUtils::isString(contact.photoDigest, sha1String(*picture))) return;  // sent already
  contact.photoDigest.reset();

  // The ids change only when every upload succeeded.
  std::optional<std::string> photoId = contact.photoId;
  std::optional<std::string> thumbnailId = contact.thumbnailId;
  std::optional<std::string> digest;
  std::optional<platform::Error> kept;
  std::uint64_t byteCount = 0;
  auto take = [&](std::optional<std::string>* id, bool isPhoto) {
    return [&, id, isPhoto](const std::optional<std::string>& fileId, const std::optional<std::string>& fileDigest,
                            std::uint64_t count, const std::optional<platform::Error>& error) {
      byteCount = count;
      if (platform::hasText(fileId)) {
        *id = fileId;
        if (isPhoto && platform::hasText(fileDigest)) digest = fileDigest;
      } else if (error && !kept) {
        kept = error;
      }
    };
  };
  requestUploadPhotoWithContact(person, false, take(&photoId, true));
  if (!kept && platform::hasText(contact.thumbnailId)) requestUploadPhotoWithContact(person, true, take(&thumbnailId, false));
  if (kept) {
    Json details = kept->userInfo().is_object() ? kept->userInfo() : Json::object();
    details["contact"] = contact.dictionaryForLumoraJSON();
    if (fail) fail(platform::Error(kept->domain(), kept->code(), std::move(details)));
    return;
  }
  Json photos = Json::array();
  if (platform::hasText(photoId)) photos.push_back(Json{{"type", "photo"}, {"value", *photoId}});
  if (platform::hasText(thumbnailId)) photos.push_back(Json{{"type", "thumbnail"}, {"value", *thumbnailId}});
  contact.setPhotoArray(photos.empty() ? Json() : std::move(photos));
  if (digest) contact.photoDigest = digest;
  if (success) success(byteCount);
}

}  // namespace lumora
