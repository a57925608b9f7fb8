// Decodes a signed cloud reply: the body is the Base64 text of AES-encrypted
// JSON under the session's security key. Decrypts it, parses it and turns a
// numeric non-zero "code" into a server error that carries the whole reply.
//
// Ownership: shared; the request manager hands one to all its operations.
// Threading: settings are fixed before use; decoding may run on several
// threads at once. Failures: a reply with an acceptable status whose body
// does not decrypt (or that arrives with no security key to decrypt it) is
// an error, never an empty success; so is one that does not parse. Only a
// body that decrypts to a single blank counts as "no object, no error".
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "cloud/request/LMHTTPResponseSerialization.h"

namespace lumora {

// Reading option: accept a top-level value that is neither array nor object.
inline constexpr unsigned kLMJSONReadingAllowFragments = 4;

class LMJsonResponseSerialization : public LMHTTPResponseSerialization {
 public:
  static std::shared_ptr<LMJsonResponseSerialization> serializer();
  // Accepts "application/json", "text/json" and "text/javascript".
  LMJsonResponseSerialization();

  unsigned readingOptions() const { return readingOptions_; }
  void setReadingOptions(unsigned options) { readingOptions_ = options; }
  bool removesKeysWithNullValues() const { return removesNulls_; }
  void setRemovesKeysWithNullValues(bool on) { removesNulls_ = on; }

  // Decrypts with `securityKey`, the key of the session the request was
  // signed with (nullopt: no key, which fails a success reply with -10001).
  LMDecodedReply responseObjectForResponse(const std::optional<platform::http::Response>& response,
                                           const platform::Bytes& data,
                                           const std::optional<std::string>& securityKey) const override;

  // A dictionary whose "code" is a number other than 0 fails with the server
  // error of that code, the dictionary as its user info; anything else
  // passes.
  static platform::Status validateLMJSONObject(const std::optional<platform::Json>& object);

 private:
  unsigned readingOptions_ = 0;
  bool removesNulls_ = false;
};

}  // namespace lumora
