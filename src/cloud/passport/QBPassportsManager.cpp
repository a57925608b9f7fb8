#include "cloud/passport/QBPassportsManager.h"

#include "platform/dispatch/NotificationCenter.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "platform/Bytes.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/storage/UserDefaults.h"
#include "platform/http/UrlError.h"

namespace lumora {

namespace {
void onMain(std::function<void()> work) { platform::MainQueue::main().async(std::move(work)); }
}  // namespace

std::shared_ptr<QBPassportsManager> QBPassportsManager::sharedManager() {
  static std::shared_ptr<QBPassportsManager>* shared =
      new std::shared_ptr<QBPassportsManager>(create());
  return *shared;
}

QBPassportsManager::QBPassportsManager() {
  // Passports hold the manager weakly and lock it while a message runs, so
  // `this` is alive whenever a hook is called.
  passportDidLogin = [this](const PassportPtr& passport) { didLogin(passport); };
  passportFailedWithError = [this](const PassportPtr& passport, const platform::Error& error) {
    LM_LOG_ERROR("{}", error.description());
    finish(passport, error);
  };
  passportPassSessionInvalidOrExpired = [this](const PassportPtr& passport,
                                               const platform::Error& error) {
    LM_LOG_ERROR("{}", error.description());
    finish(passport, error);
  };
  passportDidSendPhoneTicket = [this](const PassportPtr& passport) {
    finish(passport, platform::Status::success());
  };
}

std::shared_ptr<QBPassportsManager> QBPassportsManager::create() {
  struct Made : QBPassportsManager {};
  return std::make_shared<Made>();
}

platform::Error QBPassportsManager::makeError(std::int64_t code) {
  platform::Error error(kErrorDomain, code);
  LM_LOG_ERROR("{}", error.description());
  return error;
}

// --- Session table ---------------------------------------------------------

std::optional<std::string> QBPassportsManager::userId() {
  std::lock_guard lock(mutex_);
  if (platform::hasText(userId_)) return userId_;
  userId_ = platform::UserDefaults::standard().stringForKey(kUserIdDefaultsKey);
  if (!platform::hasText(userId_)) userId_.reset();
  return userId_;
}

void QBPassportsManager::setUserId(const std::optional<std::string>& userId) {
  std::lock_guard lock(mutex_);
  if (userId == userId_ && platform::hasText(userId)) return;
  auto& defaults = platform::UserDefaults::standard();
  if (platform::hasText(userId)) {
    userId_ = userId;
    defaults.setString(kUserIdDefaultsKey, *userId);
  } else {
    userId_.reset();
    defaults.removeObjectForKey(kUserIdDefaultsKey);
  }
  defaults.synchronize();
}

std::optional<std::string> QBPassportsManager::deviceId() const {
  std::lock_guard lock(mutex_);
  return deviceId_;
}

void QBPassportsManager::setDeviceId(const std::optional<std::string>& deviceId) {
  std::lock_guard lock(mutex_);
  deviceId_ = deviceId;
}

bool QBPassportsManager::forTest() const {
  std::lock_guard lock(mutex_);
  return forTest_;
}

void QBPassportsManager::setForTest(bool forTest) {
  std::lock_guard lock(mutex_);
  if (forTest == forTest_) return;
  forTest_ = forTest;
  for (auto& [sid, passport] : passports_) passport->setForTest(forTest);
}

bool QBPassportsManager::needVerifyPhone() const {
  std::lock_guard lock(mutex_);
  return needVerifyPhone_;
}

void QBPassportsManager::setNeedVerifyPhone(bool needVerifyPhone) {
  std::lock_guard lock(mutex_);
  if (needVerifyPhone == needVerifyPhone_) return;
  needVerifyPhone_ = needVerifyPhone;
  for (auto& [sid, passport] : passports_) passport->setNeedVerifyPhone(needVerifyPhone);
}

platform::Clock::Duration QBPassportsManager::synchronousTimeout() const {
  std::lock_guard lock(mutex_);
  return synchronousTimeout_;
}

void QBPassportsManager::setSynchronousTimeout(platform::Clock::Duration timeout) {
  std::lock_guard lock(mutex_);
  synchronousTimeout_ = timeout;
}

bool QBPassportsManager::attachPassport(const std::shared_ptr<QBLoginPassport>& passport) {
  return sharedManager()->attach(passport);
}

bool QBPassportsManager::attach(const std::shared_ptr<QBLoginPassport>& passport) {
  if (!passport || !platform::hasText(passport->sid())) return false;
  setUserId(passport->userId());
  std::lock_guard lock(mutex_);
  deviceId_ = passport->deviceId();
  forTest_ = passport->forTest();
  needVerifyPhone_ = passport->needVerifyPhone();
  passports_[*passport->sid()] = passport;
  return true;
}

std::shared_ptr<QBLoginPassport> QBPassportsManager::passportForSid(const std::string& sid) {
  std::lock_guard lock(mutex_);
  auto it = passports_.find(sid);
  return it == passports_.end() ? nullptr : it->second;
}

std::optional<std::string> QBPassportsManager::effectiveUserIdLocked(
    const std::optional<std::string>& userId) {
  return platform::hasText(userId) ? userId : this->userId();
}

std::shared_ptr<QBLoginPassport> QBPassportsManager::makePassportLocked(
    const std::string& sid, const std::optional<std::string>& userId) {
  auto passport = QBLoginPassport::create(userId, sid, weak_from_this());
  passport->loadFromLocalSettings();
  passport->setForTest(forTest_);
  passport->setNeedVerifyPhone(needVerifyPhone_);
  passports_[sid] = passport;
  return passport;
}

std::shared_ptr<QBLoginPassport> QBPassportsManager::passportForSid(
    const std::string& sid, const std::optional<std::string>& userId) {
  if (sid.empty()) return nullptr;
  std::lock_guard lock(mutex_);
  auto user = effectiveUserIdLocked(userId);
  auto it = passports_.find(sid);
  if (it != passports_.end() && it->second->userId() == user) return it->second;
  return makePassportLocked(sid, user);
}

std::shared_ptr<QBLoginPassport> QBPassportsManager::newPassportForSid(
    const std::string& sid, const std::optional<std::string>& userId) {
  if (sid.empty()) return nullptr;
  std::lock_guard lock(mutex_);
  return makePassportLocked(sid, effectiveUserIdLocked(userId));
}

void QBPassportsManager::logOutForSid(const std::string& sid) {
  std::shared_ptr<QBLoginPassport> passport;
  {
    std::lock_guard lock(mutex_);
    auto user = userId();
    if (!user) return;
    passport = passportForSid(sid, user);
    passports_.erase(sid);
  }
  setUserId(std::nullopt);
  if (passport) passport->logOut();
  platform::NotificationCenter::defaultCenter().post(kQBPassportsManagerDidLogOutNotification);
}

void QBPassportsManager::logOut() {
  std::map<std::string, std::shared_ptr<QBLoginPassport>> passports;
  {
    std::lock_guard lock(mutex_);
    // A user id kept without a stored login (its login was never restored
    // or dropped on its own) is signed out too: a logout that leaves the
    // user signed in would report success for a failure.
    if (passports_.empty() && !userId_) return;
    passports.swap(passports_);
  }
  for (auto& [sid, passport] : passports) passport->logOut();
  setUserId(std::nullopt);
  platform::NotificationCenter::defaultCenter().post(kQBPassportsManagerDidLogOutNotification);
}

std::map<std::string, std::shared_ptr<QBLoginPassport>> QBPassportsManager::passportDic() const {
  std::lock_guard lock(mutex_);
  return passports_;
}

void QBPassportsManager::setPassportDic(std::map<std::string, std::shared_ptr<QBLoginPassport>> passports) {
  std::lock_guard lock(mutex_);
  passports_ = std::move(passports);
}

// --- Asynchronous operations ----------------------------------------------

void QBPassportsManager::startPasswordLogin(
    const std::string& userId, const std::string& password,
    const std::function<std::shared_ptr<QBLoginPassport>()>& passportFor,
    std::function<void(QBLoginPassport&)> work, Completion completion) {
  // Argument failures are reported at once, on the calling thread.
  auto fail = [&completion](std::int64_t code) {
    auto error = makeError(code);
    if (completion) completion(error);
  };
  if (userId.empty() || password.empty()) {
    fail(userId.empty() ? kErrorNoUserOrPassport : kErrorNoPassword);
    return;
  }
  auto passport = passportFor();
  if (!passport) {
    fail(kErrorNoUserOrPassport);
    return;
  }
  setResultBlock(passport, std::move(completion));
  onMain([passport, work = std::move(work)] { work(*passport); });
}

void QBPassportsManager::loginForSid(const std::string& sid, const std::string& userId,
                                     const std::string& password, bool enCrypted,
                                     Completion completion) {
  // Always a fresh passport that signs out first: no token of an earlier
  // session leaks into the new one.
  startPasswordLogin(
      userId, password, [&] { return newPassportForSid(sid, userId); },
      [password, enCrypted](QBLoginPassport& passport) {
        passport.logOut();
        passport.loginWithPassword(password, enCrypted);
      },
      std::move(completion));
}

void QBPassportsManager::loginForSid(const std::string& sid, const std::string& userId,
                                     const std::string& password, bool encryptedOrNot,
                                     const std::optional<std::string>& verifyCode,
                                     Completion completion) {
  startPasswordLogin(
      userId, password, [&] { return passportForSid(sid, userId); },
      [password, encryptedOrNot, verifyCode](QBLoginPassport& passport) {
        passport.loginWithPassword(password, encryptedOrNot, verifyCode);
      },
      std::move(completion));
}

void QBPassportsManager::reLoginForSid(const std::string& sid, Completion completion) {
  reLoginForSid(sid, true, std::move(completion));
}

void QBPassportsManager::reLoginForSid(const std::string& sid, bool allowUI, Completion completion) {
  auto passport = passportForSid(sid, std::nullopt);
  if (!passport) {
    onMain([completion] {
      auto error = makeError(kErrorNoUserOrPassport);
      if (completion) completion(error);
    });
    return;
  }
  setResultBlock(passport, std::move(completion));
  onMain([passport, allowUI] {
    // The relogin takes the flag when it starts, so a background relogin
    // never shows a page even if the app allows it for its own.
    bool appAllows = passport->allowUIDuringReLogin();
    passport->setAllowUIDuringReLogin(appAllows && allowUI);
    passport->reLogin();
    passport->setAllowUIDuringReLogin(appAllows);
  });
}

namespace {
// The three code and ticket operations share their shape.
template <class Work>
void runOnStoredPassport(QBPassportsManager& manager, const std::string& sid,
                         QBPassportsManager::Completion completion, Work work,
                         platform::Error (*makeError)(std::int64_t)) {
  auto passport = manager.passportForSid(sid);
  if (!passport) {
    onMain([completion, makeError] {
      auto error = makeError(QBPassportsManager::kErrorNoUserOrPassport);
      if (completion) completion(error);
    });
    return;
  }
  setResultBlock(passport, std::move(completion));
  onMain([passport, work] { work(*passport); });
}
}  // namespace

void QBPassportsManager::checkOTPCode(const std::string& code, const std::string& sid,
                                      bool trustOrNot, Completion completion) {
  runOnStoredPassport(
      *this, sid, std::move(completion),
      [code, trustOrNot](QBLoginPassport& passport) { passport.checkOTPCode(code, trustOrNot); },
      &QBPassportsManager::makeError);
}

void QBPassportsManager::verifyPhoneTicket(const std::string& ticket, const std::string& sid,
                                           bool trustOrNot, Completion completion) {
  runOnStoredPassport(
      *this, sid, std::move(completion),
      [ticket, trustOrNot](QBLoginPassport& passport) { passport.verifyPhoneTicket(ticket, trustOrNot); },
      &QBPassportsManager::makeError);
}

void QBPassportsManager::sendPhoneTicketForSid(const std::string& sid, Completion completion) {
  runOnStoredPassport(
      *this, sid, std::move(completion), [](QBLoginPassport& passport) { passport.sendPhoneTicket(); },
      &QBPassportsManager::makeError);
}

// --- Synchronous twins ------------------------------------------------------

QBPassportsManager::SyncResult QBPassportsManager::waitFor(
    const std::function<void(Completion)>& start) {
  if (platform::MainQueue::isMainThread()) {
    platform::Error error(kLMLocalErrorDomain, kLMLocalErrorUnsupportedOperation,
                          platform::Json{{kLMErrorReasonKey,
                                          "A synchronous account call would block the main queue"},
                                         {kLMErrorDescriptionKey, kLMErrorTitlePassport}});
    LM_LOG_ERROR("{}", error.description());
    return error;
  }
  // The completion may outlive this call (it fires after the time limit, or
  // never), so what it touches is shared, not on this stack.
  struct Outcome {
    platform::Semaphore done;
    std::mutex mutex;
    SyncResult result;
  };
  auto outcome = std::make_shared<Outcome>();
  start([outcome](const SyncResult& result) {
    {
      std::lock_guard lock(outcome->mutex);
      outcome->result = result;
    }
    outcome->done.signal();
  });
  if (!outcome->done.waitFor(synchronousTimeout())) {
    platform::Error error(platform::http::kURLErrorDomain, platform::http::kUrlErrorTimedOut,
                          platform::Json{{platform::Error::kLocalizedDescriptionKey,
                                          "The account operation timed out."}});
    LM_LOG_ERROR("{}", error.description());
    return error;
  }
  std::lock_guard lock(outcome->mutex);
  return outcome->result;
}

QBPassportsManager::SyncResult QBPassportsManager::loginForSid(const std::string& sid,
                                                               const std::string& userId,
                                                               const std::string& password,
                                                               bool enCrypted) {
  return waitFor([&](Completion done) { loginForSid(sid, userId, password, enCrypted, done); });
}

QBPassportsManager::SyncResult QBPassportsManager::loginForSid(
    const std::string& sid, const std::string& userId, const std::string& password,
    bool encryptedOrNot, const std::optional<std::string>& verifyCode) {
  return waitFor([&](Completion done) {
    loginForSid(sid, userId, password, encryptedOrNot, verifyCode, done);
  });
}

QBPassportsManager::SyncResult QBPassportsManager::reLoginForSid(const std::string& sid) {
  return waitFor([&](Completion done) { reLoginForSid(sid, false, done); });
}

QBPassportsManager::SyncResult QBPassportsManager::checkOTPCode(const std::string& code,
                                                                const std::string& sid,
                                                                bool trustOrNot) {
  return waitFor([&](Completion done) { checkOTPCode(code, sid, trustOrNot, done); });
}

QBPassportsManager::SyncResult QBPassportsManager::verifyPhoneTicket(const std::string& ticket,
                                                                     const std::string& sid,
                                                                     bool trustOrNot) {
  return waitFor([&](Completion done) { verifyPhoneTicket(ticket, sid, trustOrNot, done); });
}

QBPassportsManager::SyncResult QBPassportsManager::sendPhoneTicketForSid(const std::string& sid) {
  return waitFor([&](Completion done) { sendPhoneTicketForSid(sid, done); });
}

// --- Session delegate -------------------------------------------------------

void QBPassportsManager::finish(const PassportPtr& passport, const SyncResult& result) {
  if (!passport) return;
  if (auto block = takeResultBlock(passport)) block(result);
}

void QBPassportsManager::didLogin(const PassportPtr& passport) {
  if (!passport) return;
  // Whether the token came, never the token itself.
  LM_LOG_DEBUG("login succeed! serviceToken: {}",
               passport->serviceToken().value_or("").empty() ? "(null)" : "(received)");
  setUserId(passport->userId());
  passport->saveToLocalSettings();
  finish(passport, platform::Status::success());
}

}  // namespace lumora
