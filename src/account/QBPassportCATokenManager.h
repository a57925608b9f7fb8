// The device's CA token and CA switch: hands out the stored token or fetches
// one from the account service ("/ca/getTokenCA", first at the CA login
// host's HTTPS base, then at the account service), blanks the token when
// the service refuses it, and records until when the service has switched
// CA off.
//
// Ownership: sharedInstance() is process-wide, created once; it owns its
// QBPassportCATokenExternal. Threading: any thread; the stored token and
// time are read and written without a lock of their own. A completion runs
// at once on the calling thread when a stored token is legal, else on the
// thread of the token reply. Failures: a fetch that fails on both hosts
// hands the second failure to the completion; a reply without a token
// hands over neither token nor error.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "account/QBPassportCAToken.h"
#include "account/QBPassportCATokenExternal.h"
#include "platform/Error.h"

namespace lumora {

class QBPassportCATokenManager {
 public:
  using TokenCompletion = std::function<void(const std::optional<QBPassportCAToken>& token,
                                             const std::optional<platform::Error>& error)>;

  static constexpr const char* kTokenPath = "/ca/getTokenCA";
  static constexpr const char* kTokenVersion = "0006";
  // CA switched off for a negative count of seconds: one day; at most seven.
  static constexpr std::int64_t kDefaultDisableMillis = 86'400'000;
  static constexpr std::int64_t kMaxDisableSeconds = 604'800;

  static QBPassportCATokenManager& sharedInstance();

  const QBPassportCATokenExternal& passportCAExternal() const { return passportCAExternal_; }

  // The clock has reached the stored next-enabled time.
  bool isReady() const;
  // Stores now + the given seconds (see the constants) as the next-enabled
  // time, in milliseconds.
  void onCADisabledForSeconds(std::int64_t seconds);

  // The stored token when it is legal (at once), else getCATokenOnline.
  void getPassportCAToken(TokenCompletion completion);
  // Fetches at the CA host's HTTPS base, then at the account service when
  // that fails.
  void getCATokenOnline(TokenCompletion completion);
  // One fetch at `baseURL` + kTokenPath; a token that comes back is stored
  // before the completion runs.
  void getCATokenOnline(const std::string& baseURL, TokenCompletion completion);
  void didGetCATokenOnline(const std::optional<QBPassportCAToken>& token);
  // Stores a token with empty parts, so the next request fetches a new one.
  void invalidateAllCAToken();

 private:
  QBPassportCATokenManager() = default;

  QBPassportCATokenExternal passportCAExternal_;
};

}  // namespace lumora
