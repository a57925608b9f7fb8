// One account login session record: the pass token of the account, the
// service token and security key of one service id (sid), the state of a
// login in progress, and the delegate (and queue) that hears how logins end.
// This class holds the record only: its fields, the per-user persistence in
// the user defaults, logout, the validity rule, the account endpoint, the
// shared cookies its setters keep in step, and the service-token helpers.
//
// A record never logs in. The session that sends the login requests and
// handles their replies is the subclass QBLoginPassport (made with
// QBLoginPassport::create); everything that logs in (the passports manager,
// the single sign-on session, the web login, the service-token fetch) makes
// and takes that type, so no code path can ask a bare record to log in and
// wait for an answer that never comes. Make a bare record (init,
// initWithUserId) only to read, save or clear a stored session.
//
// Ownership: always owned through std::shared_ptr (requests keep their
// session alive as their delegate and need shared_from_this()). The session
// delegate is held weakly unless set with setStrongSessionDelegate.
// Threading: every accessor takes the record's lock, so reply threads may
// write fields while the caller's thread reads them; reads return copies.
// Operations made of several steps (save, load, logout) are not atomic as a
// whole. Failures: none are reported; missing values are treated as absent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "account/KPLoginRuntimeMetaData.h"
#include "account/KPSessionDelegate.h"
#include "account/QBPassportRequestDelegate.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/http/Cookie.h"

namespace lumora {

class KPPassportRequestDelegateInterface;
class QBLoginPassport;

class QBPassport : public KPSessionDelegate,
                   public QBPassportRequestDelegate,
                   public std::enable_shared_from_this<QBPassport> {
 public:
  // Error domain of the account SDK.
  static constexpr const char* kErrorDomain = "QBPassportErrorDomain";

  // Preference keys of the saved session (per user id or per user@sid).
  static constexpr const char* kCallbackKey = "KoPassport_Callback";
  static constexpr const char* kServiceTokenKey = "KoPassport_ServiceToken";
  static constexpr const char* kSSecurityKey = "KoPassport_SSecurity";
  static constexpr const char* kPassTokenKey = "KoPassport_PassToken";
  static constexpr const char* kCUserIdKey = "KoPassport_cUserId";
  static constexpr const char* kNonceKey = "KoPassport_Nonce";

  using Completion = std::function<void(const platform::Error& error)>;
  using DelegatePtr = std::shared_ptr<KPSessionDelegate>;

  // --- class operations ---------------------------------------------------

  // The keychain access group of the device id item (apps of one group
  // share the device id).
  static void setKeyChainAccessGroup(std::optional<std::string> group);
  // The account device id (kpUniqueGlobalDeviceIdentifier).
  static std::string uniqueDeviceId();
  // Stores a session cookie of that name and value for the account cookie
  // domain; false when either is empty or the store refuses it.
  static bool setSharedCookiesValue(const std::optional<std::string>& value, const std::string& key);

  // --- construction -------------------------------------------------------

  // A session with no user id, sid or delegate.
  QBPassport();
  // Sets the user id through its setter (the "userId" cookie is written),
  // the sid and the weak delegate; the device id is uniqueDeviceId().
  QBPassport(std::optional<std::string> userId, std::optional<std::string> sid,
             const std::weak_ptr<KPSessionDelegate>& delegate);
  ~QBPassport() override = default;
  QBPassport(const QBPassport&) = delete;
  QBPassport& operator=(const QBPassport&) = delete;

  static std::shared_ptr<QBPassport> init();
  static std::shared_ptr<QBPassport> initWithUserId(std::optional<std::string> userId,
                                                    std::optional<std::string> sid,
                                                    const std::weak_ptr<KPSessionDelegate>& delegate);

  // --- fields ---------------------------------------------------------------

  Completion blockAfterRequest() const;
  void setBlockAfterRequest(Completion block);
  std::optional<std::map<std::string, std::string>> ssoParams() const;
  void setSsoParams(std::optional<std::map<std::string, std::string>> params);
  bool isSSO() const;
  void setIsSSO(bool value);
  bool forTest() const;
  void setForTest(bool value);
  bool needVerifyPhone() const;
  void setNeedVerifyPhone(bool value);
  bool userIdNeedEncrypt() const;
  void setUserIdNeedEncrypt(bool value);
  bool allowUIDuringReLogin() const;
  void setAllowUIDuringReLogin(bool value);

  std::optional<std::string> userId() const;
  // Also writes the shared cookie "userId".
  void setUserId(std::optional<std::string> value);
  std::optional<std::string> cUserId() const;
  void setCUserId(std::optional<std::string> value);
  std::optional<std::string> deviceId() const;
  // Also writes the shared cookie "deviceId".
  void setDeviceId(std::optional<std::string> value);
  std::optional<std::string> sid() const;
  void setSid(std::optional<std::string> value);
  std::optional<std::string> passToken() const;
  // Also writes the shared cookie "passToken".
  void setPassToken(std::optional<std::string> value);
  std::optional<std::string> serviceToken() const;
  void setServiceToken(std::optional<std::string> value);
  // Never absent: "" when unset or empty.
  std::string callbackUrl() const;
  void setCallbackUrl(std::optional<std::string> value);
  std::optional<std::string> sSecurity() const;
  void setSSecurity(std::optional<std::string> value);
  std::optional<std::string> maskedPhone() const;
  void setMaskedPhone(std::optional<std::string> value);
  std::optional<platform::Clock::TimePoint> serverDate() const;
  void setServerDate(std::optional<platform::Clock::TimePoint> value);
  std::int64_t nonce() const;
  void setNonce(std::int64_t value);
  std::optional<std::string> serviceTokenUrl() const;
  void setServiceTokenUrl(std::optional<std::string> value);
  Completion caLoginFailCallback() const;
  void setCaLoginFailCallback(Completion callback);

  // The delegate, if it is still alive.
  DelegatePtr sessionDelegate() const;
  void setSessionDelegate(const std::weak_ptr<KPSessionDelegate>& delegate);
  // Sets the delegate and keeps it alive as long as it stays the delegate's
  // strong holder (until the next setStrongSessionDelegate).
  void setStrongSessionDelegate(const DelegatePtr& delegate);
  DelegatePtr strongSessionDelegateMemoryHolder() const;
  // Where delegate messages are posted; null means the main queue.
  std::shared_ptr<platform::DispatchQueue> delegateQueue() const;
  void setDelegateQueue(std::shared_ptr<platform::DispatchQueue> queue);

  KPLoginRuntimeMetaData& loginRuntimeMetaData() const { return *loginRuntimeMetaData_; }

  // --- record operations --------------------------------------------------

  // Base URL of the account service: the preview endpoint when forTest is
  // set, else the release endpoint (deployment configuration).
  std::string strAccountDomain() const;
  // "<userId>@<sid>" when both are non-empty.
  std::optional<std::string> uniqueIdentifier() const;
  // User id, pass token and service token all non-empty.
  bool isSessionValid() const;

  // Restores the saved fields; false (changing nothing) without a user id
  // and sid; else true when a service token and a pass token came back.
  bool loadFromLocalSettings();
  // Saves the fields (see the preference keys); nothing without user id and
  // sid.
  void saveToLocalSettings() const;
  // Overwrites the saved fields with "" and 0.
  void clearLocalSettings() const;
  // Drops pass token, service token, security key and nonce, the cached
  // cookies (all but those whose names begin with "ick") and the saved
  // fields. User id, sid, device id and flags stay.
  void removeAuthData();
  void logOut();
  static void clearCachedCookiesExceptIck();
  void resetLoginRuntimeMetaData();

  // --- service-token helpers ----------------------------------------------

  // A request delegate for a call of a service API: replies go to
  // didFetchBlock; a failure with code 401 while retryIf401 is set clears the
  // passport's service token and security key and calls retryBlock; any
  // other failure goes to failBlock.
  static std::shared_ptr<KPPassportRequestDelegateInterface> buildRequestDelegateForST(
      const std::shared_ptr<QBPassport>& passport, bool retryIf401, std::function<void()> retryBlock,
      std::function<void(const platform::Error&)> failBlock,
      std::function<void(const RequestPtr&, const platform::Json&)> didFetchBlock);

  using ServiceTokenConsumer = std::function<void(const std::optional<std::string>& userId,
                                                  const std::optional<std::string>& serviceToken,
                                                  const std::optional<std::string>& security)>;
  // A callback that, each time it runs, makes a callback-made session
  // delegate the passport's (strongly held) delegate and then hands the
  // passport's user id, service token and security key to the consumer at
  // once when token and key are both non-empty, or logs in again first
  // (reLogin) otherwise. A failed relogin, or one that finds the session
  // expired (no pass token), goes to failBlock. It may have to
  // log in, so it takes a logging-in session.
  static std::function<void()> getBlockToFetchServiceTokenAndUseIt(
      const std::shared_ptr<QBLoginPassport>& passport, ServiceTokenConsumer serviceTokenConsumerBlock,
      std::function<void(const platform::Error&)> failBlock);

  // "userId" then "serviceToken" cookies for the URL's host, path "/"; a
  // cookie that cannot be formed is left out.
  static std::vector<platform::http::Cookie> buildCookiesForST(const std::string& url,
                                                               const std::optional<std::string>& userId,
                                                               const std::optional<std::string>& serviceToken);

 private:
  mutable std::mutex mutex_;
  Completion blockAfterRequest_;
  std::optional<std::map<std::string, std::string>> ssoParams_;
  bool isSSO_ = false;
  bool forTest_ = false;
  bool needVerifyPhone_ = false;
  bool userIdNeedEncrypt_ = false;
  bool allowUIDuringReLogin_ = true;
  std::optional<std::string> userId_;
  std::optional<std::string> cUserId_;
  std::optional<std::string> deviceId_;
  std::optional<std::string> sid_;
  std::optional<std::string> passToken_;
  std::weak_ptr<KPSessionDelegate> sessionDelegate_;
  std::optional<std::string> serviceToken_;
  std::optional<std::string> callbackUrl_;
  std::optional<std::string> sSecurity_;
  std::shared_ptr<platform::DispatchQueue> delegateQueue_;
  std::optional<std::string> maskedPhone_;
  std::optional<platform::Clock::TimePoint> serverDate_;
  std::int64_t nonce_ = 0;
  const std::unique_ptr<KPLoginRuntimeMetaData> loginRuntimeMetaData_;
  Completion caLoginFailCallback_;
  std::optional<std::string> serviceTokenUrl_;
  DelegatePtr strongSessionDelegateMemoryHolder_;
};

}  // namespace lumora
