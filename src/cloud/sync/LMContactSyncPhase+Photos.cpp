// The contact phase's photos: pictures of local contacts uploaded before
// they are pushed (or fetched again after a failed download), and the
// cloud's photos written into the people they belong to.
#include <utility>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMContactSyncPhase.h"
#include "cloud/request/LMHTTPErrorHandler.h"
#include "platform/http/UrlError.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "utils/SHA1.h"

namespace lumora {

namespace ab = platform::addressbook;

std::optional<std::string> LMContactSyncPhase::pictureDigestOf(const ab::Record& person) {
  if (!person || !person.hasImageData()) return std::nullopt;
  std::optional<platform::Bytes> picture = person.imageData(ab::ImageFormat::OriginalSize);
  if (!picture) return std::nullopt;
  return sha1String(*picture);
}

std::optional<std::string> LMContactSyncPhase::photoFileIdOf(const LMContact& contact) {
  if (platform::hasText(contact.photoId)) return contact.photoId;
  if (platform::hasText(contact.thumbnailId)) return contact.thumbnailId;
  return std::nullopt;
}

platform::Error LMContactSyncPhase::addressBookFailure(const platform::Error& error) {
  platform::Error converted = LMUtils::errorFromABAddressBookError(error);
  LM_LOG_ERROR("{}", converted.description());
  return converted;
}

platform::Status LMContactSyncPhase::saveAfterPhotoBytes() {
  if (byteCounter_ < kBytesPerSave) return platform::Status::success();
  byteCounter_ = 0;
  return LMManagedRecordContext::saveAddressBook(book_.get());
}

platform::Status LMContactSyncPhase::uploadPhoto(LMContact& contact) {
  platform::Status result;
  adapter_.requestUploadPhotoWithContact(
      contact, book_.get(), [this](std::uint64_t bytes) { byteCounter_ += bytes; },
      [&result](const platform::Error& error) { result = error; });
  if (result.ok() || !LMContactSyncAdapter::isRefusedPhotoError(result.error())) return result;
  // The cloud can never take this picture: the contact goes on with the
  // cloud's photo as it was, and the picture's digest is kept as its own so
  // that the next syncs leave it alone until it changes.
  contact.photoDigest =
      pictureDigestOf(LMManagedRecordContext::recordABPersonWithRecordID(contact.recordID, book_.get()));
  LM_LOG_WARN("the photo of person {} stays on this device: {}", contact.recordID.value_or(-1),
              result.error().description());
  return platform::Status::success();
}

platform::Status LMContactSyncPhase::preparePhoto(LMContact& contact) {
  if (contact.hasPhoto || !contact.isPhotoDownloadFail) return uploadPhoto(contact);
  // No picture here because an earlier download failed: fetched again.
  const std::optional<std::string> fileId = photoFileIdOf(contact);
  if (!fileId) return platform::Status::success();
  std::optional<platform::Bytes> data;
  adapter_.requestDownloadContactPhotoWithFileID(
      *fileId, std::nullopt,
      [&](const std::optional<platform::Bytes>& got, bool) {
        if (!got) return;
        data = got;
        byteCounter_ += got->size();
      },
      nullptr);
  if (!data || data->empty()) return platform::Status::success();
  ab::Record person = LMManagedRecordContext::recordABPersonWithRecordID(contact.recordID, book_.get());
  if (!person) return platform::Status::success();
  if (platform::Status set = person.setImageData(*data); !set.ok()) return addressBookFailure(set.error());
  contact.hasPhoto = true;
  contact.isPhotoDownloadFail = false;
  contact.photoDigest = sha1String(*data);
  return platform::Status::success();
}

bool LMContactSyncPhase::endsTheSync(const platform::Error& error) {
  if (platform::http::isCancelledError(error) || error.code() == kLMUserAuthenticationErrorCode) return true;
  return error.domain() == kLMLocalErrorDomain &&
         (error.code() == kLMLocalErrorCancelled || error.code() == kLMLocalErrorNotLoggedIn);
}

platform::Result<bool> LMContactSyncPhase::applyCloudPhoto(LMContact& cloud, ab::Record& person,
                                                           const std::optional<std::string>& localDigest,
                                                           const std::optional<std::string>& knownDigest) {
  const std::optional<std::string> fileId = photoFileIdOf(cloud);
  std::optional<platform::Bytes> data;
  // Neither side changed the photo since this device last had it in step:
  // nothing to fetch or remove. (The two may differ on purpose: a picture
  // the cloud refused stays here.)
  bool same = platform::hasText(localDigest) && knownDigest == localDigest;
  if (fileId && !same) {
    std::optional<platform::Error> failed;
    adapter_.requestDownloadContactPhotoWithFileID(
        *fileId, localDigest,
        [&](const std::optional<platform::Bytes>& got, bool unchanged) {
          same = unchanged;
          data = got;
          adapter_.callDelegateProcess(kLMSyncProcessPhotoDownloaded);
          if (got) byteCounter_ += got->size();
        },
        [&failed](const platform::Error& error) { failed = error; });
    if (failed) {
      // Only a stop or a lost sign-in ends the sync. A photo that cannot be
      // had (a dead link, a wrong key or digest, the network) is skipped:
      // the contact goes on without it, marked so the next sync fetches it.
      if (endsTheSync(*failed)) return *failed;
      LM_LOG_WARN("the photo {} of a cloud contact was not fetched: {}", *fileId, failed->description());
      adapter_.callDelegateProcess(kLMSyncProcessPhotoDownloadFailed);
    }
  }
  cloud.isPhotoDownloadFail = false;
  if (same) {
    cloud.photoDigest = localDigest;
    return false;
  }
  if (!fileId && !platform::hasText(localDigest)) return false;

  const bool hasData = data && !data->empty();
  platform::Status written;
  if (hasData) {
    written = person.setImageData(*data);
  } else if (person.hasImageData()) {
    written = person.removeImageData();
  }
  if (!written.ok()) return addressBookFailure(written.error());
  if (hasData) {
    cloud.photoDigest = sha1String(*data);
  } else {
    cloud.photoDigest.reset();
    if (fileId) {
      // The ids stay: the next sync fetches the photo again, and a push of
      // this contact keeps the cloud's photo.
      cloud.isPhotoDownloadFail = true;
    } else {
      cloud.setPhotoArray(nullptr);
    }
  }
  return true;
}

}  // namespace lumora
