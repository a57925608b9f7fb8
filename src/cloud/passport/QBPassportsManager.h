// The cloud SDK's one door to the account SDK: one logging-in session
// (QBLoginPassport) per service id ("sid"), the signed-in user id (kept in
// the user defaults under "QBPassportUserId"), and account operations
// (password login, relogin, two-step code, phone ticket) that turn the
// passport's session-delegate reports into one completion per operation.
//
// Ownership: sharedManager() is process-wide; passports are owned by the
// table and hold the manager weakly as their session delegate.
// Threading: every member may be called from any thread; the table is
// locked. Account work runs on the main queue. Completions run on the main
// queue, except the argument failures of the password logins, which are
// reported at once on the calling thread. The synchronous twins block their
// (background) caller until the outcome arrives or the time limit passes on
// the clock; called on the main thread they fail at once instead of
// blocking the queue that does the work.
// Failures: each operation's completion runs at most once (a passport that
// reports twice, or a report after a newer operation replaced the callback,
// reaches no stale callback).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "account/KPSessionDelegate.h"
#include "account/QBLoginPassport.h"
#include "cloud/passport/QBPassportBlock.h"
#include "platform/dispatch/Clock.h"
#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

// Posted on the default notification centre after a logout (of one service
// id or of all), on the thread that logged out; no user info. Layers above
// drop what they keep for the signed-in user when they hear it.
inline constexpr const char* kQBPassportsManagerDidLogOutNotification =
    "QBPassportsManagerDidLogOut";

class QBPassportsManager : public KPSessionDelegate,
                           public std::enable_shared_from_this<QBPassportsManager> {
 public:
  using Completion = QBPassportResultBlock;
  using SyncResult = platform::Status;

  static constexpr const char* kUserIdDefaultsKey = "QBPassportUserId";
  static constexpr const char* kErrorDomain = "com.quenby.vantri.error.server";
  static constexpr std::int64_t kErrorNoUserOrPassport = 20002;
  static constexpr std::int64_t kErrorNoPassword = 400;

  static std::shared_ptr<QBPassportsManager> sharedManager();
  // A manager of its own (tests); sharedManager() is the app's.
  static std::shared_ptr<QBPassportsManager> create();

  // The signed-in user id: the property, else the value in the defaults.
  std::optional<std::string> userId();
  // A non-empty id is stored and written to the defaults; anything else
  // clears both.
  void setUserId(const std::optional<std::string>& userId);
  std::optional<std::string> deviceId() const;
  void setDeviceId(const std::optional<std::string>& deviceId);
  bool forTest() const;
  void setForTest(bool forTest);
  bool needVerifyPhone() const;
  void setNeedVerifyPhone(bool needVerifyPhone);

  // Longest wait of a synchronous operation (default 180 s on the clock).
  platform::Clock::Duration synchronousTimeout() const;
  void setSynchronousTimeout(platform::Clock::Duration timeout);

  // Adopts `passport` into the shared manager (its user id, device id and
  // flags become the manager's); false without a passport or sid.
  static bool attachPassport(const std::shared_ptr<QBLoginPassport>& passport);
  bool attach(const std::shared_ptr<QBLoginPassport>& passport);

  std::shared_ptr<QBLoginPassport> passportForSid(const std::string& sid);
  // An empty user id means the manager's. The stored passport when it
  // belongs to that user, else a new one (restored from the saved settings)
  // that replaces it. Null for an empty sid.
  std::shared_ptr<QBLoginPassport> passportForSid(const std::string& sid,
                                             const std::optional<std::string>& userId);
  // Always a new passport, stored under the sid. Null for an empty sid.
  std::shared_ptr<QBLoginPassport> newPassportForSid(const std::string& sid,
                                                const std::optional<std::string>& userId);
  void logOutForSid(const std::string& sid);
  // Logs every stored login out and signs the user out; with neither a
  // stored login nor a user id it does nothing.
  void logOut();
  std::map<std::string, std::shared_ptr<QBLoginPassport>> passportDic() const;
  void setPassportDic(std::map<std::string, std::shared_ptr<QBLoginPassport>> passports);

  // Asynchronous operations; `completion` (may be empty) gets the outcome.
  void loginForSid(const std::string& sid, const std::string& userId, const std::string& password,
                   bool enCrypted, Completion completion);
  void loginForSid(const std::string& sid, const std::string& userId, const std::string& password,
                   bool encryptedOrNot, const std::optional<std::string>& verifyCode,
                   Completion completion);
  void reLoginForSid(const std::string& sid, Completion completion);
  void checkOTPCode(const std::string& code, const std::string& sid, bool trustOrNot,
                    Completion completion);
  void verifyPhoneTicket(const std::string& ticket, const std::string& sid, bool trustOrNot,
                         Completion completion);
  void sendPhoneTicketForSid(const std::string& sid, Completion completion);

  // Synchronous twins (never on the main thread). A background relogin never
  // shows a page: a verification request ends it with an error.
  SyncResult loginForSid(const std::string& sid, const std::string& userId,
                         const std::string& password, bool enCrypted);
  SyncResult loginForSid(const std::string& sid, const std::string& userId,
                         const std::string& password, bool encryptedOrNot,
                         const std::optional<std::string>& verifyCode);
  SyncResult reLoginForSid(const std::string& sid);
  SyncResult checkOTPCode(const std::string& code, const std::string& sid, bool trustOrNot);
  SyncResult verifyPhoneTicket(const std::string& ticket, const std::string& sid, bool trustOrNot);
  SyncResult sendPhoneTicketForSid(const std::string& sid);

  QBPassportsManager(const QBPassportsManager&) = delete;
  QBPassportsManager& operator=(const QBPassportsManager&) = delete;

 protected:
  // Answers passportDidLogin, passportFailedWithError,
  // passportPassSessionInvalidOrExpired and passportDidSendPhoneTicket.
  QBPassportsManager();

 private:
  std::shared_ptr<QBLoginPassport> makePassportLocked(const std::string& sid,
                                                 const std::optional<std::string>& userId);
  std::optional<std::string> effectiveUserIdLocked(const std::optional<std::string>& userId);
  // The shared start of the password logins: argument checks (reported at
  // once), the passport, the result callback, then `work` on the main queue.
  void startPasswordLogin(const std::string& userId, const std::string& password,
                          const std::function<std::shared_ptr<QBLoginPassport>()>& passportFor,
                          std::function<void(QBLoginPassport&)> work, Completion completion);
  void reLoginForSid(const std::string& sid, bool allowUI, Completion completion);
  // Runs `start` with a completion and waits for it (time limit, main-thread
  // guard).
  SyncResult waitFor(const std::function<void(Completion)>& start);
  // Session-delegate side: hands the outcome to the passport's callback
  // (detached first, so it runs once).
  void didLogin(const PassportPtr& passport);
  void finish(const PassportPtr& passport, const SyncResult& result);
  static platform::Error makeError(std::int64_t code);

  mutable std::recursive_mutex mutex_;
  std::map<std::string, std::shared_ptr<QBLoginPassport>> passports_;
  std::optional<std::string> userId_;
  std::optional<std::string> deviceId_;
  bool forTest_ = false;
  bool needVerifyPhone_ = false;
  platform::Clock::Duration synchronousTimeout_ = platform::seconds(180);
};

}  // namespace lumora
