// A certificate authority made on the spot for the local cloud's HTTPS
// listener: a self-signed root (P-256 key) that issues server certificates
// for loopback names. Nothing is written to disk; clients that are to trust
// the listener are given the root's DER bytes.
// Ownership: owns its key and root; issued certificates own theirs.
// Threading: create and issue from one thread; the results are read-only.
// Failure: create() and issue() return nullptr when OpenSSL fails.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace localcloud {

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct PKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;

// A certificate with its private key.
struct IssuedCertificate {
  X509Ptr certificate;
  PKeyPtr key;
};

class CertificateAuthority {
 public:
  static std::unique_ptr<CertificateAuthority> create(const std::string& commonName);

  // A server certificate for "localhost" and 127.0.0.1, valid for a day.
  std::unique_ptr<IssuedCertificate> issueServerCertificate(const std::string& commonName) const;

  X509* root() const { return root_.certificate.get(); }
  static std::vector<std::uint8_t> der(X509* certificate);

 private:
  IssuedCertificate root_;
};

}  // namespace localcloud
