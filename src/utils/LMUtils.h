// Stateless helpers of the cloud SDK shared by the request layer, the sync
// adapters and the record store: error constructors, the retry rule for failed
// cloud requests, JSON text, the app's directory paths, and the contact field
// helpers (cloud date texts, phone cleaning, multi-value field tests/merges).
//
// Every member may be called from any thread at once. Nothing throws; failures
// are platform::Error values. shouldRetryRequestWithError may block its caller
// for 24 seconds of platform::Clock time, so it is for worker threads only.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "utils/LMErrors.h"
#include "platform/Bytes.h"
#include "platform/dispatch/Clock.h"
#include "platform/Error.h"
#include "platform/media/Image.h"
#include "platform/media/MediaProperties.h"
#include "platform/Result.h"

namespace lumora {

class LMUtils {
 public:
  LMUtils() = delete;

  // ---- Errors ----

  // An error in kLMLocalErrorDomain with exactly `code` and `errorInfo`.
  static platform::Error localErrorWithErrorCode(std::int64_t code,
                                                 platform::Json errorInfo = nullptr);
  // kLMLocalErrorInvalidParameters with the reason "Invalid parameters.".
  static platform::Error invalidParametersError();
  // Code kLMServerErrorUnknownReply (101) in kLMServerErrorDomain, for a cloud
  // reply that is not a dictionary or lacks what the caller needs.
  static platform::Error errorForLumoraUnknownErrorWithUserInfo(platform::Json userInfo);
  // A copy of a platform error (same domain, code and user info).
  static platform::Error errorFromCoreFoundationError(const platform::Error& error);
  // An address-book failure as a local error: code 0 becomes -10004 and code 1
  // -10005, each with its "reason" and "description"; any other code is kept,
  // with no user info.
  static platform::Error errorFromABAddressBookError(const platform::Error& error);

  // ---- Retry rule ----

  // After what pause a failed cloud request is sent again; nullopt: it is
  // not. The rule of shouldRetryRequestWithError, with the 24 s pause as a
  // delay for the caller to wait out (so that its cancel can end the wait).
  static std::optional<platform::Clock::Duration> retryDelayForRequestWithError(
      const std::optional<platform::Error>& error);
  // Whether a failed cloud request is sent again:
  //  - no error: false;
  //  - code -1011 (bad server response), any domain: sleeps 24 s on the
  //    current clock's steady time, then true;
  //  - "retriable" in the user info: its truth (a boolean, or a number that is
  //    not 0; any other value counts as false);
  //  - else "retriable" in the underlying error's user info, likewise;
  //  - else shouldRetryRequestWithErrorCode of the error's own code.
  // Keeps no count: callers bound their loops.
  static bool shouldRetryRequestWithError(const std::optional<platform::Error>& error);
  // True for the URL-loading codes -1, -1004, -1005, -1014, -1015, -1016,
  // -1017 and -1019, whatever the domain; false for every other code.
  static bool shouldRetryRequestWithErrorCode(std::int64_t code);

  // ---- JSON text ----

  // The object as pretty-printed UTF-8 JSON text (indented, one member per
  // line). Fails only on strings that are not valid UTF-8: the writer's
  // error (kLMJSONErrorDomain), logged at flag 1.
  static platform::Result<std::string> stringFromJSONObject(const platform::Json& object);
  // Parses JSON text. A value that is not a string, or an empty string, is an
  // error of its own (kLMJSONErrorDomain, not logged: there was nothing to
  // read). Text that does not parse, or whose top level is not an array or
  // object, gives the reader's error, logged at flag 1.
  // A std::string argument converts implicitly.
  static platform::Result<platform::Json> jsonObjectFromString(const platform::Json& object);

  // ---- Directories (under platform::AppHome, created on first use) ----

  static std::filesystem::path applicationDocumentsDirectory();
  static std::string applicationDocumentsDirectoryPath();
  static std::string applicationCachesDirectoryPath();
  // The photo sync's own folder under Caches, for the files its downloads
  // and exports write (and remove): never another folder of the app's, and
  // never reached through a link (one in its place goes, never what it
  // leads to).
  static std::filesystem::path imageTransferDirectory();
  // Clears the name of one of the photo sync's own files in that folder:
  // whatever lies there goes (a file, a pipe, a socket, a link: the link
  // itself, never what it leads to), but a folder, which none of its files
  // ever is, stays unless `folderToo`: then it goes with all it holds, each
  // link in it removed as a link, never followed out of the folder. The
  // error when something stays.
  static platform::Status removeTransferFile(const std::filesystem::path& path, bool folderToo = false);

  // ---- Files from the cloud or the photo library ----

  // A plain file name: not empty, not "." or "..", without "/" or NUL.
  static bool isSafeFileName(std::string_view name);
  // `directory`/`name` for a safe name; nullopt for any other name, so the
  // result is never the directory itself nor a place outside it.
  static std::optional<std::filesystem::path> fileInDirectory(const std::filesystem::path& directory,
                                                              std::string_view name);

  // ---- Photos and assets ----

  // The EXIF summary the photo sync sends with an image, from the platform's
  // image properties (platform/MediaProperties.h) and the pixel size: camera
  // "make", "model", "dateTime", "orientation", "whiteBalance", "flash",
  // "GPSAltitudeRef" as numbers or texts as found; "focalLength",
  // "exposureTime", "FNumber" and the first "ISOSpeedRatings" as decimal
  // text; GPS position and altitude as GPS text (gpsInfoConvert) with their
  // references, date and time stamps and processing method as found; and
  // always "imageWidth" and "imageLength" (truncated). A value of the wrong
  // kind, and a sub-dictionary that is not a non-empty object, is left out.
  // nullopt when `metadata` is not a non-empty object.
  static std::optional<platform::Json> exifInfoFromImageMetadata(const platform::Json& metadata, double width,
                                                                 double height);
  // "GPSLongitude" and "GPSLatitude" as signed decimal degrees (with a
  // location), "imageWidth" and "imageLength".
  static platform::Json exifInfoFromVideoLocation(const std::optional<platform::Location>& location,
                                                  double width, double height);
  // Degrees, minutes and seconds of |value| as "%i/1,%i/1,%.3f/1".
  static std::string gpsInfoConvert(double value);
  // The extension (with its dot) of the image type the first bytes name:
  // ".jpg", ".png", ".gif", ".bmp", ".tiff", ".iff", ".ani", ".pcx", and
  // ".tga", ".ico", ".cur" by bytes 1 to 4 after a 0; nullopt for any other
  // start or for data too short to tell.
  static std::optional<std::string> extFromImageData(const platform::Bytes& data);
  // An upright copy of a picture shown in another orientation; nullopt when
  // it is already upright (callers keep the picture they have).
  static std::optional<platform::Image> imageRecoverOrientationWithImage(const platform::Image& image);
  // The picture orientation of an older photo-library asset's orientation
  // number: the two numberings agree on 0 to 7; any other number is upright
  // (never turned on a guess).
  static platform::ImageOrientation imageOrientationFromALAssetOrientation(std::int64_t orientation);
  // The picture scaled so that its shorter side fills width x height,
  // centred and cut to exactly that size. A width or height below one pixel
  // (or not a number) is refused.
  static platform::Result<platform::Image> scaleImage(const platform::Image& image, double width,
                                                      double height);
  // "assets-library://group/?id=<id>" for a non-empty id; nullopt otherwise.
  static std::optional<std::string> assetGroupURLFromAssetID(std::string_view assetID);
  // The container type for a video file's extension (compared in lower
  // case: 3gp/3gpp/sdv, 3g2/3gp2, m4v, mp4, mov/qt) when `supportedTypes`
  // holds it, else the first supported type; nullopt for an empty list.
  static std::optional<std::string> videoTypeFromFileExtention(const std::optional<std::string>& extension,
                                                               const std::vector<std::string>& supportedTypes);

  // ---- Contact fields: dates and strings ----
  //
  // Cloud date texts are "yyyy-MM-dd" for a full date and "--MM-dd" for a day
  // without a year. On the device such a day is a date in the year 1604. All
  // conversions use UTC and the proleptic Gregorian calendar, whatever the
  // device's time zone or calendar, so a day never moves.

  // The day of `date` (in UTC) as "yyyy-MM-dd", or "--MM-dd" in the year 1604.
  // Any std::chrono::sys_time works; note that Clock::TimePoint (nanoseconds)
  // cannot hold dates before 1678, so the address book's dates use a coarser
  // duration.
  template <class Duration>
  static std::string stringForLumoraDate(std::chrono::sys_time<Duration> date) {
    return stringForLumoraDay(std::chrono::floor<std::chrono::days>(date));
  }
  static std::string stringForLumoraDay(std::chrono::sys_days day);
  // Midnight UTC of the day of a cloud date text: "yyyy-MM-dd", "--MM-dd" or
  // "MM-dd" (the last two in the year 1604); nullopt when it does not parse
  // or names no real day.
  static std::optional<std::chrono::sys_days> dateFromLumoraString(std::string_view text);
  // "MM-dd" becomes "--MM-dd"; every other text is returned unchanged.
  static std::string dateStringFromLumoraString(std::string_view text);
  // The text with every blank (" ") and every "-" removed; nothing else.
  static std::string purePhoneNumberWithString(std::string_view text);
  // Equality in which null, "" and non-strings all equal each other; two
  // non-empty strings compare exactly.
  static bool isString(const platform::Json& first, const platform::Json& second);
  static bool isString(const std::optional<std::string>& first,
                       const std::optional<std::string>& second);

  // ---- Contact fields: multi-value lists ----
  //
  // A list is a JSON array of item dictionaries ({"type": label, "value": ...}).
  // "Empty" is null, a value of another kind, or an empty array; two empty
  // lists are equal, an empty and a non-empty one are not.

  // Equal sets of clean phone numbers of "value" (labels, order, repeats and
  // items without a number ignored).
  static bool isPhoneNumberArrayEqualToArray(const platform::Json& first,
                                             const platform::Json& second);
  // Both lists non-empty and one set of clean numbers holds the other.
  static bool isPhoneNumberArrayContainWithArray(const platform::Json& first,
                                                 const platform::Json& second);
  // Union by clean number: items of `first`, then of `second`, each new number
  // once as {"value" (as written), "type" (when a non-empty string)}.
  static platform::Json mergePhoneNumberArray(const platform::Json& first,
                                              const platform::Json& second);
  // Equal sets of "value" texts.
  static bool isDictionaryValueArrayEqualToArray(const platform::Json& first,
                                                 const platform::Json& second);
  // Both lists non-empty and one set of "value" texts holds the other.
  static bool isDictionaryValueArrayContainWithArray(const platform::Json& first,
                                                     const platform::Json& second);
  // Union by "value" text, as mergePhoneNumberArray.
  static platform::Json mergeDictionaryValueArray(const platform::Json& first,
                                                  const platform::Json& second);
  // The lists agree item by item on every key but those of `blackList`.
  static bool isEmailDictionaryArray(const platform::Json& first, const platform::Json& second,
                                     const std::vector<std::string>& blackList);
  // Equal as multisets of items compared without "type" and "formatted".
  static bool isAddressDictionaryArray(const platform::Json& first, const platform::Json& second);
  // `first` unchanged, then the items of `second` that no item of `first`
  // matched (compared without "type" and "formatted"; one match per item).
  static platform::Json mergeAddressDictionaryArray(const platform::Json& first,
                                                    const platform::Json& second);
  // Equal as multisets of whole items.
  static bool isDictionaryArray(const platform::Json& first, const platform::Json& second);
  // As mergeAddressDictionaryArray, comparing whole items.
  static platform::Json mergeDictionaryArray(const platform::Json& first,
                                             const platform::Json& second);
  // The merges above return null when both lists are empty, `second` when
  // only `first` is empty and `first` when only `second` is.

  // ---- Sets (nullptr stands for no set) ----

  // Both empty (nullptr or no members), or equal.
  template <class T>
  static bool isSet(const std::set<T>* first, const std::set<T>* second) {
    const bool firstEmpty = first == nullptr || first->empty();
    const bool secondEmpty = second == nullptr || second->empty();
    if (firstEmpty || secondEmpty) return firstEmpty && secondEmpty;
    return *first == *second;
  }

  // Calls `changed` once with (members only in `newSet`, members only in
  // `oldSet`), or (nullopt, nullopt) when either set is missing. An empty
  // `changed` is not called.
  template <class T>
  static void compareNewSet(
      const std::set<T>* newSet, const std::set<T>* oldSet,
      const std::function<void(std::optional<std::vector<T>>, std::optional<std::vector<T>>)>&
          changed) {
    if (!changed) return;
    if (newSet == nullptr || oldSet == nullptr) {
      changed(std::nullopt, std::nullopt);
      return;
    }
    std::vector<T> added;
    std::vector<T> removed;
    for (const T& member : *newSet) {
      if (!oldSet->contains(member)) added.push_back(member);
    }
    for (const T& member : *oldSet) {
      if (!newSet->contains(member)) removed.push_back(member);
    }
    changed(std::move(added), std::move(removed));
  }
};

}  // namespace lumora
