#include "harbor/HBRCertificatePinner.h"

#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "harbor/HBRPinnedCertificateData.h"

namespace lumora {
namespace {

struct StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct StoreContextFree {
  void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
};
struct ChainFree {
  void operator()(STACK_OF(X509) * chain) const { sk_X509_pop_free(chain, X509_free); }
};

}  // namespace

HBRCertificatePinner::HBRCertificatePinner(std::vector<HBRCertificate> certificates)
    : certificates_(std::move(certificates)) {}

HBRCertificate HBRCertificatePinner::createCertificationWithData(const std::uint8_t* bytes, std::size_t length) {
  if (bytes == nullptr || length == 0 || length > 1u << 20) return nullptr;
  const unsigned char* cursor = bytes;
  X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(length));
  if (certificate == nullptr) return nullptr;
  return HBRCertificate(certificate, X509_free);
}

std::int16_t HBRCertificatePinner::evaluateTrust(const platform::http::ServerTrust& trust,
                                                 HBRTrustResult& result) const {
  result = HBRTrustResult::Invalid;
  if (certificates_.empty()) return 0;
  // The pinned certificates as the only anchors.
  std::unique_ptr<X509_STORE, StoreFree> anchors(X509_STORE_new());
  if (!anchors) {
    result = HBRTrustResult::FatalTrustFailure;
    return kHBRTrustStatusAllocationError;
  }
  for (const auto& certificate : certificates_) {
    if (!certificate || X509_STORE_add_cert(anchors.get(), certificate.get()) != 1) {
      result = HBRTrustResult::FatalTrustFailure;
      return kHBRTrustStatusParameterError;
    }
  }
  if (trust.certificates.empty()) return kHBRTrustStatusParameterError;
  std::vector<HBRCertificate> chain;
  for (const auto& der : trust.certificates) {
    auto certificate = createCertificationWithData(der.data(), der.size());
    if (!certificate) return kHBRTrustStatusParameterError;
    chain.push_back(std::move(certificate));
  }
  std::unique_ptr<STACK_OF(X509), ChainFree> intermediates(sk_X509_new_null());
  for (std::size_t i = 1; i < chain.size(); ++i) {
    X509_up_ref(chain[i].get());
    sk_X509_push(intermediates.get(), chain[i].get());
  }
  std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), anchors.get(), chain[0].get(), intermediates.get()) != 1) {
    return kHBRTrustStatusAllocationError;
  }
  X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context.get());
  X509_VERIFY_PARAM_set_purpose(parameters, X509_PURPOSE_SSL_SERVER);
  if (!trust.host.empty()) {
    // An address is checked as an address, any other host as a name.
    if (X509_VERIFY_PARAM_set1_ip_asc(parameters, trust.host.c_str()) != 1) {
      X509_VERIFY_PARAM_set1_host(parameters, trust.host.c_str(), trust.host.size());
    }
  }
  result = X509_verify_cert(context.get()) == 1 ? HBRTrustResult::Proceed : HBRTrustResult::RecoverableTrustFailure;
  return 0;
}

bool HBRCertificatePinner::handleChallenge(const BBXURLAuthenticationChallenge& challenge,
                                           const BBXChallengeCompletion& completion) const {
  if (!challenge.serverTrust) {
    completion(platform::http::ChallengeDisposition::CancelChallenge);
    return false;
  }
  HBRTrustResult result = HBRTrustResult::Invalid;
  std::int16_t status = evaluateTrust(*challenge.serverTrust, result);
  if (status == 0 && (result == HBRTrustResult::Proceed || result == HBRTrustResult::Unspecified)) {
    completion(platform::http::ChallengeDisposition::UseCredential);
    return true;
  }
  completion(platform::http::ChallengeDisposition::CancelChallenge);
  return false;
}

const std::vector<HBRCertificate>& HBRPinnedCertificates() {
  static const auto& certificates = *new std::vector<HBRCertificate>([] {
    std::vector<HBRCertificate> built;
    for (const auto& root : HBRPinnedCertificateDER()) {
      if (auto certificate = HBRCertificatePinner::createCertificationWithData(root.der, root.length)) {
        built.push_back(std::move(certificate));
      }
    }
    return built;
  }());
  return certificates;
}

}  // namespace lumora
