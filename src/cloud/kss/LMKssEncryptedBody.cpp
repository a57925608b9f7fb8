#include "cloud/kss/LMKssEncryptedBody.h"

#include <algorithm>
#include <utility>

#include "cloud/kss/LMKssDescription.h"

namespace lumora {

platform::http::BodySource LMKssEncryptedBody::source(std::shared_ptr<const platform::Bytes> plain,
                                                      std::shared_ptr<LMKssKeyStream> keyStream) {
  platform::http::BodySource body;
  body.length = plain ? plain->size() : 0;
  body.open = [plain = std::move(plain),
               keyStream = std::move(keyStream)]() -> std::unique_ptr<platform::http::BodyStream> {
    return std::make_unique<LMKssEncryptedBody>(plain, keyStream);
  };
  return body;
}

LMKssEncryptedBody::LMKssEncryptedBody(std::shared_ptr<const platform::Bytes> plain,
                                       std::shared_ptr<LMKssKeyStream> keyStream)
    : plain_(plain ? std::move(plain) : std::make_shared<const platform::Bytes>()),
      keyStream_(std::move(keyStream)) {}

platform::Result<std::size_t> LMKssEncryptedBody::read(std::uint8_t* buffer, std::size_t size) {
  const std::size_t count = std::min(size, plain_->size() - position_);
  if (count == 0) return std::size_t{0};
  if (!keyStream_ || !keyStream_->apply(position_, plain_->data() + position_, buffer, count)) {
    return LMKssError(kLMKssReasonWrongBlock);
  }
  position_ += count;
  return count;
}

}  // namespace lumora
