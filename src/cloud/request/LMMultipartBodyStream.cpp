#include "cloud/request/LMMultipartBodyStream.h"

#include <utility>

namespace lumora {

LMMultipartBodyStream::LMMultipartBodyStream(LMStringEncoding encoding)
    : stringEncoding_(encoding) {}

void LMMultipartBodyStream::appendHTTPBodyPart(std::shared_ptr<LMHTTPBodyPart> part) {
  if (!part) return;
  part->stringEncoding = stringEncoding_;
  parts_.push_back(std::move(part));
}

void LMMultipartBodyStream::setInitialAndFinalBoundaries() {
  for (std::size_t i = 0; i < parts_.size(); ++i) {
    parts_[i]->hasInitialBoundary = (i == 0);
    parts_[i]->hasFinalBoundary = (i + 1 == parts_.size());
  }
}

std::uint64_t LMMultipartBodyStream::contentLength() const {
  std::uint64_t length = 0;
  for (const auto& part : parts_) length += part->contentLength();
  return length;
}

bool LMMultipartBodyStream::hasBytesAvailable() const {
  if (error_) return false;
  for (std::size_t i = current_; i < parts_.size(); ++i) {
    if (parts_[i]->hasBytesAvailable()) return true;
  }
  return false;
}

std::int64_t LMMultipartBodyStream::read(std::uint8_t* buffer, std::size_t length) {
  if (error_) return -1;
  std::size_t total = 0;
  while (total < length && current_ < parts_.size()) {
    auto& part = parts_[current_];
    if (!part->hasBytesAvailable()) {
      if (part->readError()) {
        error_ = part->readError();
        return -1;
      }
      ++current_;
      continue;
    }
    std::int64_t count = part->read(buffer + total, length - total);
    if (count < 0) {
      error_ = part->readError();
      return -1;
    }
    total += static_cast<std::size_t>(count);
  }
  return static_cast<std::int64_t>(total);
}

}  // namespace lumora
