// The DER bytes of the public root certificates the reporting kits pin, in
// pinning order: Entrust Root Certification Authority and DigiCert High
// Assurance EV Root CA, the two of the vendor's roots that are still
// published and distributed. Constant data; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {

struct HBRPinnedCertificateData {
  const char* name;
  const std::uint8_t* der;
  std::size_t length;
};

const std::vector<HBRPinnedCertificateData>& HBRPinnedCertificateDER();

}  // namespace lumora
