#include "cloud/kss/LMKssBlockStream.h"

#include "cloud/kss/LMKssDescription.h"

namespace lumora {

LMKssBlockStream::LMKssBlockStream(std::shared_ptr<LMKssKeyStream> keyStream, std::uint64_t size,
                                   platform::Bytes buffer)
    : keyStream_(std::move(keyStream)), plain_(std::move(buffer)), size_(size) {
  if (plain_.size() < size_) plain_.resize(static_cast<std::size_t>(size_));
}

platform::Status LMKssBlockStream::write(const std::uint8_t* data, std::size_t size) {
  if (failed_ || size > size_ - received_) {
    failed_ = true;
    return LMKssError(kLMKssReasonWrongBlock);
  }
  std::uint8_t* out = plain_.data() + received_;
  if (!keyStream_ || !keyStream_->apply(static_cast<std::size_t>(received_), data, out, size)) {
    failed_ = true;
    return LMKssError(kLMKssReasonWrongBlock);
  }
  digest_.update(out, size);
  received_ += size;
  return platform::Status::success();
}

platform::Result<platform::Bytes> LMKssBlockStream::takeVerifiedBlock(const std::string& sha1) {
  if (failed_ || received_ != size_ || platform::hexString(digest_.finish()) != sha1) {
    failed_ = true;
    return LMKssError(kLMKssReasonWrongBlock);
  }
  failed_ = true;  // spent
  plain_.resize(static_cast<std::size_t>(size_));
  return std::move(plain_);
}

}  // namespace lumora
