// Error domains, user-info keys and local error codes of the cloud SDK, shared
// by every module that raises or inspects its errors. Constants only.
#pragma once

#include <cstdint>

namespace lumora {

// Local conditions of the cloud SDK (every LMUtils local-error constructor).
inline constexpr const char* kLMLocalErrorDomain = "com.quenby.lumora.sdk.error";
// Server-side errors: a reply whose "code" is not 0, the unknown-reply error,
// redirect errors.
inline constexpr const char* kLMServerErrorDomain = "com.quenby.vantri.error.server";

// User-info keys.
inline constexpr const char* kLMErrorReasonKey = "reason";            // English sentence
inline constexpr const char* kLMErrorDescriptionKey = "description";  // short category title
// Boolean set by the request layer on errors that may be sent again; read by
// LMUtils::shouldRetryRequestWithError, on the error or its underlying error.
inline constexpr const char* kLMRetriableKey = "retriable";

// Codes of kLMLocalErrorDomain.
inline constexpr std::int64_t kLMLocalErrorGeneral = -1;                   // photo sync failures
inline constexpr std::int64_t kLMLocalErrorNotLoggedIn = -10001;           // "Passport Error"
inline constexpr std::int64_t kLMLocalErrorInvalidParameters = -10002;     // "Param Error"
inline constexpr std::int64_t kLMLocalErrorDatabase = -10003;              // "Database Error"
inline constexpr std::int64_t kLMLocalErrorAddressBookNotAllowed = -10004; // source does not support it
inline constexpr std::int64_t kLMLocalErrorAddressBookAccessDenied = -10005;
inline constexpr std::int64_t kLMLocalErrorInvalidAddressBookSource = -10007;
inline constexpr std::int64_t kLMLocalErrorCancelled = -10012;             // "Sync Error" / "Backup Error"
inline constexpr std::int64_t kLMLocalErrorPhotosAccess = -10013;          // "Photos Error"
inline constexpr std::int64_t kLMLocalErrorUnsupportedOperation = -10014;  // "Unsupport Operation"
inline constexpr std::int64_t kLMLocalErrorAssetsGroup = -10015;           // "AssetsGroup Error"
inline constexpr std::int64_t kLMLocalErrorWriteFail = -10016;             // "Write Fail"

// Code of kLMServerErrorDomain for a reply that is not a dictionary or lacks
// what the caller needs.
inline constexpr std::int64_t kLMServerErrorUnknownReply = 101;
// Code of kLMServerErrorDomain for a request the cloud refuses as it stands
// (a parameter missing, malformed or out of range: a photo too large).
inline constexpr std::int64_t kLMServerErrorBadRequest = 400;

// "description" titles used with the local codes.
inline constexpr const char* kLMErrorTitleBackup = "Backup Error";
inline constexpr const char* kLMErrorTitlePhoto = "Photo Error";
inline constexpr const char* kLMErrorTitlePassport = "Passport Error";
inline constexpr const char* kLMErrorTitleParam = "Param Error";
inline constexpr const char* kLMErrorTitleTooManyImageIDs = "Too Many Image IDs";
inline constexpr const char* kLMErrorTitleDatabase = "Database Error";
inline constexpr const char* kLMErrorTitleAddressBook = "ABAddressBook Error";
inline constexpr const char* kLMErrorTitleSync = "Sync Error";
inline constexpr const char* kLMErrorTitlePhotos = "Photos Error";
inline constexpr const char* kLMErrorTitleUnsupportedOperation = "Unsupport Operation";
inline constexpr const char* kLMErrorTitleAssetsGroup = "AssetsGroup Error";
inline constexpr const char* kLMErrorTitleWriteFail = "Write Fail";

// Domain and code of the JSON reader's and writer's errors (LMUtils JSON
// helpers), as the platform's JSON serialiser reports them.
inline constexpr const char* kLMJSONErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::int64_t kLMJSONErrorCode = 3840;

}  // namespace lumora
