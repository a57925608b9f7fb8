// One part of a multipart form body: its boundary line, its header lines and
// its body (bytes in memory or a file read as the part is streamed), read in
// that order by LMMultipartBodyStream.
//
// Ownership: held by its body stream. Threading: one reader at a time.
// Failures: a file that cannot be opened, or that ends before the length
// taken when the part was made, stops reading with an error (readError());
// the part never yields fewer bytes than contentLength() announced without
// reporting why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cloud/request/LMStringEncoding.h"
#include "platform/Bytes.h"
#include "platform/Error.h"

namespace lumora {

// Domain of the errors met while building request bodies.
inline constexpr const char* kLMRequestSerializationErrorDomain =
    "com.quenby.error.serialization.request";
// Codes of that domain: the platform's file codes.
inline constexpr std::int64_t kLMRequestErrorFileDoesNotExist = -1100;
inline constexpr std::int64_t kLMRequestErrorCannotReadFile = -1102;

class LMHTTPBodyPart {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;

  // A part whose body is the bytes given.
  LMHTTPBodyPart(Headers headers, platform::Bytes body);
  // A part whose body is the file at `path`, `length` bytes long.
  LMHTTPBodyPart(Headers headers, std::filesystem::path path, std::uint64_t length);

  LMStringEncoding stringEncoding = kLMUTF8StringEncoding;
  std::string boundary;
  bool hasInitialBoundary = false;
  bool hasFinalBoundary = false;

  const Headers& headers() const { return headers_; }
  std::uint64_t bodyContentLength() const { return bodyLength_; }
  // Boundary, header and body bytes, with the closing boundary when
  // hasFinalBoundary is set.
  std::uint64_t contentLength() const;

  // Whether read() has more to give.
  bool hasBytesAvailable() const { return phase_ != Phase::Done && !error_; }
  // Copies up to `length` bytes into `buffer`; the count, 0 at the end, -1
  // on an error.
  std::int64_t read(std::uint8_t* buffer, std::size_t length);
  const std::optional<platform::Error>& readError() const { return error_; }

 private:
  enum class Phase { Boundary, Header, Body, FinalBoundary, Done };

  std::string boundaryText() const;
  std::string headerText() const;
  std::string finalBoundaryText() const;
  // Copies from `text` at the phase offset; moves to the next phase at its end.
  std::size_t readText(const std::string& text, std::uint8_t* buffer, std::size_t length);
  std::int64_t readBody(std::uint8_t* buffer, std::size_t length);
  void nextPhase();
  platform::Bytes encoded(const std::string& text) const;

  Headers headers_;
  std::optional<platform::Bytes> data_;
  std::filesystem::path path_;
  std::uint64_t bodyLength_ = 0;

  Phase phase_ = Phase::Boundary;
  std::uint64_t offset_ = 0;
  platform::Bytes phaseBytes_;
  bool phaseBytesReady_ = false;
  std::ifstream file_;
  std::optional<platform::Error> error_;
};

}  // namespace lumora
