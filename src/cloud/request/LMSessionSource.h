// Where signed cloud requests get their session: the signed-in user, the
// service token and security key of a service id, and a way to log in again
// after an authentication failure. A request asks once, when it is built,
// and keeps what it got (it is signed and its reply decrypted with that one
// session, whatever logins happen meanwhile).
//
// LMPassportsSessionSource reads the passports of one QBPassportsManager
// (the process-wide one unless given another, so two accounts can live in
// one process, each with its own manager and source).
//
// Ownership: shared by the request managers and operations that use it.
// Threading: any thread; reLoginForSid blocks its caller until the account
// service answered (never call it on the main thread). Failures: a missing
// session is the not-logged-in error -10001; a relogin reports its error.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "cloud/request/LMSignedSession.h"
#include "platform/Result.h"

namespace lumora {

class QBPassportsManager;

class LMSessionSource {
 public:
  virtual ~LMSessionSource() = default;

  // The signed-in user id, nullopt when nobody is signed in.
  virtual std::optional<std::string> userId() = 0;
  // The session of `passportSid` for that user, or -10001.
  virtual platform::Result<LMSignedSession> sessionForSid(const std::string& passportSid) = 0;
  // Whether a relogin can be tried: a passport is held for the service id
  // and a user is signed in.
  virtual bool canReLoginForSid(const std::string& passportSid) = 0;
  // Logs in again for the service id and waits for the outcome.
  virtual platform::Status reLoginForSid(const std::string& passportSid) = 0;
};

class LMPassportsSessionSource final : public LMSessionSource {
 public:
  explicit LMPassportsSessionSource(std::shared_ptr<QBPassportsManager> manager);
  // A source over QBPassportsManager::sharedManager(), made once.
  static std::shared_ptr<LMSessionSource> shared();

  const std::shared_ptr<QBPassportsManager>& manager() const { return manager_; }

  std::optional<std::string> userId() override;
  platform::Result<LMSignedSession> sessionForSid(const std::string& passportSid) override;
  bool canReLoginForSid(const std::string& passportSid) override;
  platform::Status reLoginForSid(const std::string& passportSid) override;

 private:
  std::shared_ptr<QBPassportsManager> manager_;
};

}  // namespace lumora
