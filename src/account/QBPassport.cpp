#include "account/QBPassport.h"

#include "account/KPCookieUtil.h"
#include "account/KPIdentifierAddition.h"
#include "account/KPQBPreferenceUtil.h"
#include "account/KPUDIDKeyChainUtil.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"
#include "platform/Bytes.h"
#include "platform/storage/UserDefaults.h"
#include "platform/http/CookieStorage.h"

namespace lumora {
namespace {

// A saved string entry; anything else reads as absent.
std::optional<std::string> savedString(const char* key, const std::optional<std::string>& qualifier) {
  auto entry = KPQBPreferenceUtil::getKey(key, qualifier);
  if (!entry || !entry->is_string()) return std::nullopt;
  return entry->get<std::string>();
}

std::optional<platform::Json> asJson(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return platform::Json(*text);
}

}  // namespace

// --- class operations ---------------------------------------------------------

void QBPassport::setKeyChainAccessGroup(std::optional<std::string> group) {
  KPUDIDKeyChainUtil::setKeyChainAccessGroup(std::move(group));
}

std::string QBPassport::uniqueDeviceId() { return kpUniqueGlobalDeviceIdentifier(); }

bool QBPassport::setSharedCookiesValue(const std::optional<std::string>& value, const std::string& key) {
  return KPCookieUtil::setSharedCookiesValue(value, key, ServiceHosts::accountCookieDomain());
}

// --- construction -------------------------------------------------------------

QBPassport::QBPassport() : QBPassport(std::nullopt, std::nullopt, {}) {}

QBPassport::QBPassport(std::optional<std::string> userId, std::optional<std::string> sid,
                       const std::weak_ptr<KPSessionDelegate>& delegate)
    : loginRuntimeMetaData_(std::make_unique<KPLoginRuntimeMetaData>()) {
  setUserId(std::move(userId));
  sid_ = std::move(sid);
  sessionDelegate_ = delegate;
  deviceId_ = uniqueDeviceId();  // directly: no cookie yet
}

std::shared_ptr<QBPassport> QBPassport::init() { return std::make_shared<QBPassport>(); }

std::shared_ptr<QBPassport> QBPassport::initWithUserId(std::optional<std::string> userId,
                                                       std::optional<std::string> sid,
                                                       const std::weak_ptr<KPSessionDelegate>& delegate) {
  return std::make_shared<QBPassport>(std::move(userId), std::move(sid), delegate);
}

// --- fields -------------------------------------------------------------------

#define LUMORA_PASSPORT_GETTER(Type, getter, member) \
  Type QBPassport::getter() const {                  \
    std::lock_guard<std::mutex> guard(mutex_);       \
    return member;                                   \
  }

#define LUMORA_PASSPORT_FIELD(Type, getter, setter, member) \
  LUMORA_PASSPORT_GETTER(Type, getter, member)              \
  void QBPassport::setter(Type value) {                     \
    std::lock_guard<std::mutex> guard(mutex_);              \
    member = std::move(value);                              \
  }

// A text field whose setter also writes the shared cookie of that name.
#define LUMORA_PASSPORT_COOKIE_FIELD(getter, setter, member, cookieName) \
  LUMORA_PASSPORT_GETTER(std::optional<std::string>, getter, member)     \
  void QBPassport::setter(std::optional<std::string> value) {            \
    {                                                                     \
      std::lock_guard<std::mutex> guard(mutex_);                          \
      member = value;                                                     \
    }                                                                     \
    setSharedCookiesValue(value, cookieName);                             \
  }

using OptionalText = std::optional<std::string>;
using SsoParams = std::optional<std::map<std::string, std::string>>;
using OptionalDate = std::optional<platform::Clock::TimePoint>;
using QueuePtr = std::shared_ptr<platform::DispatchQueue>;

LUMORA_PASSPORT_FIELD(QBPassport::Completion, blockAfterRequest, setBlockAfterRequest, blockAfterRequest_)
LUMORA_PASSPORT_FIELD(SsoParams, ssoParams, setSsoParams, ssoParams_)
LUMORA_PASSPORT_FIELD(bool, isSSO, setIsSSO, isSSO_)
LUMORA_PASSPORT_FIELD(bool, forTest, setForTest, forTest_)
LUMORA_PASSPORT_FIELD(bool, needVerifyPhone, setNeedVerifyPhone, needVerifyPhone_)
LUMORA_PASSPORT_FIELD(bool, userIdNeedEncrypt, setUserIdNeedEncrypt, userIdNeedEncrypt_)
LUMORA_PASSPORT_FIELD(bool, allowUIDuringReLogin, setAllowUIDuringReLogin, allowUIDuringReLogin_)
LUMORA_PASSPORT_FIELD(OptionalText, cUserId, setCUserId, cUserId_)
LUMORA_PASSPORT_FIELD(OptionalText, sid, setSid, sid_)
LUMORA_PASSPORT_FIELD(OptionalText, serviceToken, setServiceToken, serviceToken_)
LUMORA_PASSPORT_FIELD(OptionalText, sSecurity, setSSecurity, sSecurity_)
LUMORA_PASSPORT_FIELD(OptionalText, maskedPhone, setMaskedPhone, maskedPhone_)
LUMORA_PASSPORT_FIELD(OptionalDate, serverDate, setServerDate, serverDate_)
LUMORA_PASSPORT_FIELD(std::int64_t, nonce, setNonce, nonce_)
LUMORA_PASSPORT_FIELD(OptionalText, serviceTokenUrl, setServiceTokenUrl, serviceTokenUrl_)
LUMORA_PASSPORT_FIELD(QBPassport::Completion, caLoginFailCallback, setCaLoginFailCallback, caLoginFailCallback_)
LUMORA_PASSPORT_FIELD(QueuePtr, delegateQueue, setDelegateQueue, delegateQueue_)

LUMORA_PASSPORT_COOKIE_FIELD(userId, setUserId, userId_, "userId")
LUMORA_PASSPORT_COOKIE_FIELD(deviceId, setDeviceId, deviceId_, "deviceId")
LUMORA_PASSPORT_COOKIE_FIELD(passToken, setPassToken, passToken_, "passToken")

#undef LUMORA_PASSPORT_COOKIE_FIELD
#undef LUMORA_PASSPORT_FIELD
#undef LUMORA_PASSPORT_GETTER

std::string QBPassport::callbackUrl() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return callbackUrl_.value_or("");
}

void QBPassport::setCallbackUrl(std::optional<std::string> value) {
  std::lock_guard<std::mutex> guard(mutex_);
  callbackUrl_ = std::move(value);
}

QBPassport::DelegatePtr QBPassport::sessionDelegate() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return sessionDelegate_.lock();
}

void QBPassport::setSessionDelegate(const std::weak_ptr<KPSessionDelegate>& delegate) {
  std::lock_guard<std::mutex> guard(mutex_);
  sessionDelegate_ = delegate;
}

void QBPassport::setStrongSessionDelegate(const DelegatePtr& delegate) {
  DelegatePtr previous;  // released outside the lock
  std::lock_guard<std::mutex> guard(mutex_);
  sessionDelegate_ = delegate;
  previous = std::exchange(strongSessionDelegateMemoryHolder_, delegate);
}

QBPassport::DelegatePtr QBPassport::strongSessionDelegateMemoryHolder() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return strongSessionDelegateMemoryHolder_;
}

// --- record operations --------------------------------------------------------

std::string QBPassport::strAccountDomain() const {
  return ServiceHosts::baseURL(forTest() ? ServiceHosts::kAccountPreview : ServiceHosts::kAccount);
}

std::optional<std::string> QBPassport::uniqueIdentifier() const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!platform::hasText(userId_) || !platform::hasText(sid_)) return std::nullopt;
  return *userId_ + "@" + *sid_;
}

bool QBPassport::isSessionValid() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return platform::hasText(userId_) && platform::hasText(passToken_) && platform::hasText(serviceToken_);
}

bool QBPassport::loadFromLocalSettings() {
  auto service = uniqueIdentifier();
  if (!service) return false;
  auto user = userId();
  setCUserId(savedString(kCUserIdKey, user));
  setPassToken(savedString(kPassTokenKey, user));
  setCallbackUrl(savedString(kCallbackKey, service));
  setServiceToken(savedString(kServiceTokenKey, service));
  setSSecurity(savedString(kSSecurityKey, service));
  setNonce(KPQBPreferenceUtil::getLongLongKey(kNonceKey, service));
  return platform::hasText(serviceToken()) && platform::hasText(passToken());
}

void QBPassport::saveToLocalSettings() const {
  auto service = uniqueIdentifier();
  if (!service) return;
  auto user = userId();
  platform::UserDefaults::Batch oneWrite(platform::UserDefaults::standard());
  KPQBPreferenceUtil::setKey(kCallbackKey, platform::Json(callbackUrl()), service, true);
  if (auto token = serviceToken()) KPQBPreferenceUtil::setKey(kServiceTokenKey, asJson(token), service, true);
  if (auto key = sSecurity()) KPQBPreferenceUtil::setKey(kSSecurityKey, asJson(key), service, true);
  if (auto token = passToken()) KPQBPreferenceUtil::setKey(kPassTokenKey, asJson(token), user, true);
  if (userIdNeedEncrypt()) {
    if (auto encrypted = cUserId()) KPQBPreferenceUtil::setKey(kCUserIdKey, asJson(encrypted), user, true);
  }
  KPQBPreferenceUtil::setLongLongKey(kNonceKey, nonce(), service, true);
}

void QBPassport::clearLocalSettings() const {
  auto service = uniqueIdentifier();
  auto user = userId();
  const platform::Json empty = "";
  platform::UserDefaults::Batch oneWrite(platform::UserDefaults::standard());
  KPQBPreferenceUtil::setKey(kCallbackKey, empty, service, true);
  KPQBPreferenceUtil::setKey(kServiceTokenKey, empty, service, true);
  KPQBPreferenceUtil::setKey(kSSecurityKey, empty, service, true);
  KPQBPreferenceUtil::setKey(kPassTokenKey, empty, user, true);
  KPQBPreferenceUtil::setKey(kCUserIdKey, empty, user, true);
  KPQBPreferenceUtil::setLongLongKey(kNonceKey, 0, service, true);
}

void QBPassport::removeAuthData() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    passToken_.reset();  // directly: the "passToken" cookie goes with the others below
    serviceToken_.reset();
    sSecurity_.reset();
    nonce_ = 0;
  }
  clearCachedCookiesExceptIck();
  clearLocalSettings();
}

void QBPassport::logOut() { removeAuthData(); }

void QBPassport::clearCachedCookiesExceptIck() {
  auto& store = platform::http::CookieStorage::shared();
  for (const auto& cookie : store.cookies()) {
    if (cookie.name.rfind("ick", 0) != 0) store.deleteCookie(cookie);
  }
}

void QBPassport::resetLoginRuntimeMetaData() {
  loginRuntimeMetaData_->resetWithSid(sid(), callbackUrl());
}

}  // namespace lumora
