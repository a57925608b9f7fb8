#include "utils/SHA1.h"

#include "utils/Digest.h"

namespace lumora {

platform::Bytes sha1Data(const platform::Bytes& data) {
  return digestOf(DigestKind::SHA1, data.data(), data.size());
}

std::string sha1String(const platform::Bytes& data) { return platform::hexString(sha1Data(data)); }

}  // namespace lumora
