// Certificate pinning of the reporting kits: a server's chain is trusted
// only when it leads to one of the pinned certificates, which serve as the
// only anchors (the system's roots are not consulted), for the host it was
// presented for. HBRPinnedCertificates() is the shared list of the vendor's
// public roots.
// Ownership: a pinner owns its copies of the certificates. Threading: any
// thread; the shared list is built once and read-only. Failure: a chain
// that does not verify is answered by cancelling the challenge.
#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "harbor/BBXURLSessionDelegate.h"
#include "platform/http/ServerTrust.h"

namespace lumora {

using HBRCertificate = std::shared_ptr<X509>;

// Trust results, as the platform numbers them.
enum class HBRTrustResult : int {
  Invalid = 0,
  Proceed = 1,
  Unspecified = 4,
  RecoverableTrustFailure = 5,
  FatalTrustFailure = 6,
};

// Statuses of the evaluation (0: it ran).
inline constexpr std::int16_t kHBRTrustStatusParameterError = -50;
inline constexpr std::int16_t kHBRTrustStatusAllocationError = -108;

class HBRCertificatePinner {
 public:
  explicit HBRCertificatePinner(std::vector<HBRCertificate> certificates);

  // A certificate from DER bytes; null when they are none.
  static HBRCertificate createCertificationWithData(const std::uint8_t* bytes, std::size_t length);

  // Evaluates the chain against the pinned anchors only; the status (0 when
  // the evaluation ran) and the trust result in `result`.
  std::int16_t evaluateTrust(const platform::http::ServerTrust& trust, HBRTrustResult& result) const;
  // Answers the challenge: use credential when the chain verifies, else
  // cancel. True when a credential was supplied.
  bool handleChallenge(const BBXURLAuthenticationChallenge& challenge, const BBXChallengeCompletion& completion) const;

  const std::vector<HBRCertificate>& certificates() const { return certificates_; }

 private:
  std::vector<HBRCertificate> certificates_;
};

// The vendor's pinned roots, built once.
const std::vector<HBRCertificate>& HBRPinnedCertificates();

}  // namespace lumora
