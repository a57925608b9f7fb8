#include "utils/LMUtils.h"

#include <unistd.h>

#include <cerrno>
#include <exception>

#include "utils/LMLogUtil.h"
#include "platform/JsonParse.h"
#include "platform/storage/AppHome.h"
#include "platform/dispatch/Clock.h"

namespace lumora {
namespace {

constexpr const char* kAddressBookNotAllowedReason =
    "The operation is not allowed by the Address Book database, because the contact\u2019s "
    "source does not support it.";
constexpr const char* kAddressBookAccessDeniedReason =
    "The operation is not allowed because the user denied access to the Address Book database.";

// URL-loading code of a bad server response; such a request is repeated after
// a pause long enough for an overloaded server to recover.
constexpr std::int64_t kBadServerResponseCode = -1011;
constexpr double kBadServerResponsePauseSeconds = 24.0;

// The "retriable" entry of a user info, read as a truth value; nullopt when
// the entry is absent.
std::optional<bool> retriableFlag(const platform::Json& userInfo) {
  if (!userInfo.is_object()) return std::nullopt;
  auto it = userInfo.find(kLMRetriableKey);
  if (it == userInfo.end()) return std::nullopt;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number_integer()) return it->get<std::int64_t>() != 0;
  if (it->is_number_float()) return it->get<double>() != 0.0;
  return false;
}

platform::Error jsonError(const std::string& detail) {
  return platform::Error(kLMJSONErrorDomain, kLMJSONErrorCode,
                         platform::Json{{"NSDebugDescription", detail}});
}

platform::Error reportJSONError(platform::Error failure) {
  LM_LOG_ERROR("{}", failure.description());
  return failure;
}

}  // namespace

// ---- Errors ----

platform::Error LMUtils::localErrorWithErrorCode(std::int64_t code, platform::Json errorInfo) {
  return platform::Error(kLMLocalErrorDomain, code, std::move(errorInfo));
}

platform::Error LMUtils::invalidParametersError() {
  return localErrorWithErrorCode(kLMLocalErrorInvalidParameters,
                                 {{kLMErrorReasonKey, "Invalid parameters."}, {kLMErrorDescriptionKey, kLMErrorTitleParam}});
}

platform::Error LMUtils::errorForLumoraUnknownErrorWithUserInfo(platform::Json userInfo) {
  return platform::Error(kLMServerErrorDomain, kLMServerErrorUnknownReply, std::move(userInfo));
}

platform::Error LMUtils::errorFromCoreFoundationError(const platform::Error& error) {
  return platform::Error(error.domain(), error.code(), error.userInfo());
}

platform::Error LMUtils::errorFromABAddressBookError(const platform::Error& error) {
  switch (error.code()) {
    case 0:
      return localErrorWithErrorCode(kLMLocalErrorAddressBookNotAllowed,
                                     {{kLMErrorReasonKey, kAddressBookNotAllowedReason},
                                      {kLMErrorDescriptionKey, kLMErrorTitleAddressBook}});
    case 1:
      return localErrorWithErrorCode(kLMLocalErrorAddressBookAccessDenied,
                                     {{kLMErrorReasonKey, kAddressBookAccessDeniedReason},
                                      {kLMErrorDescriptionKey, kLMErrorTitleAddressBook}});
    default:
      return localErrorWithErrorCode(error.code(), nullptr);
  }
}

// ---- Retry rule ----

std::optional<platform::Clock::Duration> LMUtils::retryDelayForRequestWithError(
    const std::optional<platform::Error>& error) {
  constexpr auto kNow = platform::Clock::Duration::zero();
  if (!error) return std::nullopt;
  if (error->code() == kBadServerResponseCode) return platform::seconds(kBadServerResponsePauseSeconds);
  auto retryIf = [&](bool retry) { return retry ? std::optional(kNow) : std::nullopt; };
  if (auto flag = retriableFlag(error->userInfo())) return retryIf(*flag);
  if (auto inner = error->underlying()) {
    if (auto flag = retriableFlag(inner->userInfo())) return retryIf(*flag);
  }
  return retryIf(shouldRetryRequestWithErrorCode(error->code()));
}

bool LMUtils::shouldRetryRequestWithError(const std::optional<platform::Error>& error) {
  auto delay = retryDelayForRequestWithError(error);
  if (!delay) return false;
  if (*delay > platform::Clock::Duration::zero()) platform::Clock::current()->sleepFor(*delay);
  return true;
}

bool LMUtils::shouldRetryRequestWithErrorCode(std::int64_t code) {
  switch (code) {
    case -1:     // unknown
    case -1004:  // cannot connect to host
    case -1005:  // network connection lost
    case -1014:  // zero-byte resource
    case -1015:  // cannot decode raw data
    case -1016:  // cannot decode content data
    case -1017:  // cannot parse response
    case -1019:  // call is active
      return true;
    default:
      return false;
  }
}

// ---- JSON text ----

platform::Result<std::string> LMUtils::stringFromJSONObject(const platform::Json& object) {
  try {
    return object.dump(2, ' ', false, platform::Json::error_handler_t::strict);
  } catch (const std::exception& e) {
    return reportJSONError(jsonError(e.what()));
  }
}

platform::Result<platform::Json> LMUtils::jsonObjectFromString(const platform::Json& object) {
  if (!object.is_string() || object.get_ref<const std::string&>().empty()) {
    return jsonError("No JSON text.");
  }
  const auto& text = object.get_ref<const std::string&>();
  if (platform::jsonNestsDeeperThan(text)) return reportJSONError(jsonError("JSON text nests too deeply."));
  platform::Json parsed;
  try {
    parsed = platform::Json::parse(text);
  } catch (const std::exception& e) {
    return reportJSONError(jsonError(e.what()));
  }
  // The platform reader takes only an array or an object at the top level.
  if (!parsed.is_array() && !parsed.is_object()) {
    return reportJSONError(jsonError("JSON text did not start with array or object and option to "
                                     "allow fragments not set."));
  }
  return parsed;
}

// ---- Directories ----

std::filesystem::path LMUtils::applicationDocumentsDirectory() {
  return platform::AppHome::documents();
}

std::string LMUtils::applicationDocumentsDirectoryPath() {
  return platform::AppHome::documents().string();
}

std::string LMUtils::applicationCachesDirectoryPath() {
  return platform::AppHome::caches().string();
}

std::filesystem::path LMUtils::imageTransferDirectory() {
  const std::filesystem::path caches = platform::AppHome::caches();
  constexpr const char* kFolder = "ImageTransfers";
  platform::AppHome::makeOwnFolder(caches, kFolder);
  return caches / kFolder;
}

platform::Status LMUtils::removeTransferFile(const std::filesystem::path& path, bool folderToo) {
  // unlink(2) takes the name itself, never what a link leads to, and
  // leaves a folder.
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return platform::Status::success();
  if (errno != EISDIR) return platform::posixError(errno, "Cannot remove " + path.string());
  if (!folderToo) return platform::Status::success();
  // The walk removes each link it meets as a link and never descends
  // through one.
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (!ec) return platform::Status::success();
  return platform::posixError(ec.value(), "Cannot remove " + path.string());
}

}  // namespace lumora
