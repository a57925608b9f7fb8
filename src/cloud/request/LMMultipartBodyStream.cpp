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

platform::Result<std::size_t> LMMultipartBodyStream::read(std::uint8_t* buffer, std::size_t size) {
  if (error_) return *error_;
  std::size_t total = 0;
  while (total < size && current_ < parts_.size()) {
    auto& part = parts_[current_];
    if (!part->hasBytesAvailable()) {
      ++current_;
      continue;
    }
    auto count = part->read(buffer + total, size - total);
    if (!count.ok()) {
      error_ = count.error();
      return *error_;
    }
    total += *count;
  }
  return total;
}

platform::http::BodySource LMMultipartBodyStream::bodySource() const {
  std::vector<std::shared_ptr<LMHTTPBodyPart>> parts;
  for (const auto& part : parts_) parts.push_back(part->freshCopy());
  const LMStringEncoding encoding = stringEncoding_;
  return {contentLength(), [parts = std::move(parts), encoding] {
            auto stream = std::make_unique<LMMultipartBodyStream>(encoding);
            // Appended as they are: the copies keep their boundaries.
            for (const auto& part : parts) stream->parts_.push_back(part->freshCopy());
            return stream;
          }};
}

}  // namespace lumora
