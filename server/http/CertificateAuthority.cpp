#include "server/http/CertificateAuthority.h"

#include <openssl/x509v3.h>

namespace localcloud {
namespace {

PKeyPtr newKey() { return PKeyPtr(EVP_EC_gen("P-256")); }

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension) return false;
  bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

X509Ptr newCertificate(EVP_PKEY* key, const std::string& commonName, long serial) {
  X509Ptr certificate(X509_new());
  if (!certificate) return nullptr;
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600);
  X509_set_pubkey(certificate.get(), key);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Lumora local cloud"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return certificate;
}

}  // namespace

std::unique_ptr<CertificateAuthority> CertificateAuthority::create(const std::string& commonName) {
  auto authority = std::unique_ptr<CertificateAuthority>(new CertificateAuthority());
  authority->root_.key = newKey();
  if (!authority->root_.key) return nullptr;
  authority->root_.certificate = newCertificate(authority->root_.key.get(), commonName, 1);
  X509* root = authority->root_.certificate.get();
  if (!root || X509_set_issuer_name(root, X509_get_subject_name(root)) != 1 ||
      !addExtension(root, root, NID_basic_constraints, "critical,CA:TRUE") ||
      !addExtension(root, root, NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !addExtension(root, root, NID_subject_key_identifier, "hash") ||
      X509_sign(root, authority->root_.key.get(), EVP_sha256()) == 0) {
    return nullptr;
  }
  return authority;
}

std::unique_ptr<IssuedCertificate> CertificateAuthority::issueServerCertificate(const std::string& commonName) const {
  auto issued = std::make_unique<IssuedCertificate>();
  issued->key = newKey();
  if (!issued->key) return nullptr;
  issued->certificate = newCertificate(issued->key.get(), commonName, 2);
  X509* certificate = issued->certificate.get();
  if (!certificate || X509_set_issuer_name(certificate, X509_get_subject_name(root())) != 1 ||
      !addExtension(certificate, root(), NID_basic_constraints, "critical,CA:FALSE") ||
      !addExtension(certificate, root(), NID_ext_key_usage, "serverAuth") ||
      !addExtension(certificate, root(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") ||
      !addExtension(certificate, root(), NID_authority_key_identifier, "keyid:always") ||
      X509_sign(certificate, root_.key.get(), EVP_sha256()) == 0) {
    return nullptr;
  }
  return issued;
}

std::vector<std::uint8_t> CertificateAuthority::der(X509* certificate) {
  int length = i2d_X509(certificate, nullptr);
  if (length <= 0) return {};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  unsigned char* out = bytes.data();
  i2d_X509(certificate, &out);
  return bytes;
}

}  // namespace localcloud
