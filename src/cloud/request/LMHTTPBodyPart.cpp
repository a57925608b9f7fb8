#include "cloud/request/LMHTTPBodyPart.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace lumora {
namespace {

platform::Error readError(const std::string& text) {
  return platform::Error(kLMRequestSerializationErrorDomain, kLMRequestErrorCannotReadFile,
                         {{platform::Error::kLocalizedDescriptionKey, text}});
}

class BytesStream final : public platform::http::BodyStream {
 public:
  explicit BytesStream(std::shared_ptr<const platform::Bytes> bytes) : bytes_(std::move(bytes)) {}
  platform::Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
    std::size_t count = std::min(size, bytes_->size() - offset_);
    if (count > 0) std::memcpy(buffer, bytes_->data() + offset_, count);
    offset_ += count;
    return count;
  }

 private:
  std::shared_ptr<const platform::Bytes> bytes_;
  std::size_t offset_ = 0;
};

class FileStream final : public platform::http::BodyStream {
 public:
  explicit FileStream(std::filesystem::path path) : path_(std::move(path)) {}
  platform::Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
    if (!file_.is_open()) {
      file_.open(path_, std::ios::binary);
      if (!file_) return readError("Failed to read from file " + path_.string());
    }
    file_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(size));
    if (file_.bad()) return readError("Failed to read from file " + path_.string());
    return static_cast<std::size_t>(file_.gcount());
  }

 private:
  std::filesystem::path path_;
  std::ifstream file_;
};

}  // namespace

LMHTTPBodyPart::LMHTTPBodyPart(Headers headers, platform::Bytes body)
    : headers_(std::move(headers)), bodyName_("the part's body") {
  auto bytes = std::make_shared<const platform::Bytes>(std::move(body));
  body_.length = bytes->size();
  body_.open = [bytes] { return std::make_unique<BytesStream>(bytes); };
}

LMHTTPBodyPart::LMHTTPBodyPart(Headers headers, std::filesystem::path path, std::uint64_t length)
    : headers_(std::move(headers)), bodyName_("File " + path.string()) {
  body_.length = length;
  body_.open = [path] { return std::make_unique<FileStream>(path); };
}

LMHTTPBodyPart::LMHTTPBodyPart(Headers headers, platform::http::BodySource body)
    : headers_(std::move(headers)), body_(std::move(body)), bodyName_("the part's body") {}

std::shared_ptr<LMHTTPBodyPart> LMHTTPBodyPart::freshCopy() const {
  auto copy = std::make_shared<LMHTTPBodyPart>(headers_, body_);
  copy->bodyName_ = bodyName_;
  copy->stringEncoding = stringEncoding;
  copy->boundary = boundary;
  copy->hasInitialBoundary = hasInitialBoundary;
  copy->hasFinalBoundary = hasFinalBoundary;
  return copy;
}

std::string LMHTTPBodyPart::boundaryText() const {
  return hasInitialBoundary ? "--" + boundary + "\r\n" : "\r\n--" + boundary + "\r\n";
}

std::string LMHTTPBodyPart::headerText() const {
  std::string text;
  for (const auto& [name, value] : headers_) text += name + ": " + value + "\r\n";
  text += "\r\n";
  return text;
}

std::string LMHTTPBodyPart::finalBoundaryText() const {
  return hasFinalBoundary ? "\r\n--" + boundary + "--\r\n" : std::string();
}

platform::Bytes LMHTTPBodyPart::encoded(const std::string& text) const {
  if (auto bytes = LMEncodeText(text, stringEncoding)) return *bytes;
  return platform::toBytes(text);
}

std::uint64_t LMHTTPBodyPart::contentLength() const {
  return encoded(boundaryText()).size() + encoded(headerText()).size() + body_.length +
         encoded(finalBoundaryText()).size();
}

void LMHTTPBodyPart::nextPhase() {
  switch (phase_) {
    case Phase::Boundary: phase_ = Phase::Header; break;
    case Phase::Header: phase_ = Phase::Body; break;
    case Phase::Body: phase_ = Phase::FinalBoundary; break;
    case Phase::FinalBoundary:
    case Phase::Done: phase_ = Phase::Done; break;
  }
  offset_ = 0;
  phaseBytesReady_ = false;
  stream_.reset();
}

std::size_t LMHTTPBodyPart::readText(const std::string& text, std::uint8_t* buffer,
                                     std::size_t length) {
  if (!phaseBytesReady_) {
    phaseBytes_ = encoded(text);
    phaseBytesReady_ = true;
  }
  std::size_t available = phaseBytes_.size() - static_cast<std::size_t>(offset_);
  std::size_t count = std::min(available, length);
  if (count > 0) std::memcpy(buffer, phaseBytes_.data() + offset_, count);
  offset_ += count;
  if (offset_ >= phaseBytes_.size()) nextPhase();
  return count;
}

platform::Result<std::size_t> LMHTTPBodyPart::readBody(std::uint8_t* buffer, std::size_t length) {
  std::uint64_t remaining = body_.length - offset_;
  std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, length));
  if (count > 0) {
    if (!stream_) stream_ = body_.open ? body_.open() : nullptr;
    if (!stream_) return readError("Failed to open " + bodyName_);
    auto read = stream_->read(buffer, count);
    if (!read.ok()) return read.error();
    if (*read == 0) return readError(bodyName_ + " ended before its announced length");
    count = std::min(*read, count);
  }
  offset_ += count;
  if (offset_ >= body_.length) nextPhase();
  return count;
}

platform::Result<std::size_t> LMHTTPBodyPart::read(std::uint8_t* buffer, std::size_t length) {
  std::size_t total = 0;
  while (total < length && hasBytesAvailable()) {
    std::size_t room = length - total;
    switch (phase_) {
      case Phase::Boundary: total += readText(boundaryText(), buffer + total, room); break;
      case Phase::Header: total += readText(headerText(), buffer + total, room); break;
      case Phase::Body: {
        auto count = readBody(buffer + total, room);
        if (!count.ok()) {
          failed_ = true;
          return count.error();
        }
        total += *count;
        break;
      }
      case Phase::FinalBoundary: total += readText(finalBoundaryText(), buffer + total, room); break;
      case Phase::Done: break;
    }
  }
  return total;
}

}  // namespace lumora
