#include "cloud/request/LMHTTPBodyPart.h"

#include <algorithm>
#include <cstring>

namespace lumora {

LMHTTPBodyPart::LMHTTPBodyPart(Headers headers, platform::Bytes body)
    : headers_(std::move(headers)), data_(std::move(body)) {
  bodyLength_ = data_->size();
}

LMHTTPBodyPart::LMHTTPBodyPart(Headers headers, std::filesystem::path path, std::uint64_t length)
    : headers_(std::move(headers)), path_(std::move(path)), bodyLength_(length) {}

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
  return encoded(boundaryText()).size() + encoded(headerText()).size() + bodyLength_ +
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
  if (file_.is_open()) file_.close();
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

std::int64_t LMHTTPBodyPart::readBody(std::uint8_t* buffer, std::size_t length) {
  std::uint64_t remaining = bodyLength_ - offset_;
  std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, length));
  if (data_) {
    if (count > 0) std::memcpy(buffer, data_->data() + offset_, count);
  } else if (count > 0) {
    if (!file_.is_open()) {
      file_.open(path_, std::ios::binary);
      if (!file_) {
        error_ = platform::Error(kLMRequestSerializationErrorDomain, kLMRequestErrorCannotReadFile,
                                 {{platform::Error::kLocalizedDescriptionKey,
                                   "Failed to read from file " + path_.string()}});
        return -1;
      }
    }
    file_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(count));
    if (static_cast<std::size_t>(file_.gcount()) != count) {
      error_ = platform::Error(kLMRequestSerializationErrorDomain, kLMRequestErrorCannotReadFile,
                               {{platform::Error::kLocalizedDescriptionKey,
                                 "File " + path_.string() + " ended before its announced length"}});
      return -1;
    }
  }
  offset_ += count;
  if (offset_ >= bodyLength_) nextPhase();
  return static_cast<std::int64_t>(count);
}

std::int64_t LMHTTPBodyPart::read(std::uint8_t* buffer, std::size_t length) {
  std::size_t total = 0;
  while (total < length && hasBytesAvailable()) {
    std::size_t room = length - total;
    switch (phase_) {
      case Phase::Boundary: total += readText(boundaryText(), buffer + total, room); break;
      case Phase::Header: total += readText(headerText(), buffer + total, room); break;
      case Phase::Body: {
        std::int64_t count = readBody(buffer + total, room);
        if (count < 0) return -1;
        total += static_cast<std::size_t>(count);
        break;
      }
      case Phase::FinalBoundary: total += readText(finalBoundaryText(), buffer + total, room); break;
      case Phase::Done: break;
    }
  }
  if (error_) return -1;
  return static_cast<std::int64_t>(total);
}

}  // namespace lumora
