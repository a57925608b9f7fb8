// One part of a multipart form body: its boundary line, its header lines and
// its body (bytes in memory, a file, or any stream of a known length), read
// in that order by LMMultipartBodyStream. The body is opened when reading
// reaches it, so a file or stream is read piece by piece as the request goes
// out.
//
// Ownership: held by its body stream; freshCopy() gives an unread part over
// the same body (each send reads its own copy). Threading: one reader at a
// time. Failures: a file that cannot be opened, or a body that ends before
// the length taken when the part was made, stops reading with an error; the
// part never yields fewer bytes than contentLength() announced without
// reporting why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cloud/request/LMStringEncoding.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/http/Request.h"

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
  // A part whose body is read from `body` (opened once per reading).
  LMHTTPBodyPart(Headers headers, platform::http::BodySource body);

  LMStringEncoding stringEncoding = kLMUTF8StringEncoding;
  std::string boundary;
  bool hasInitialBoundary = false;
  bool hasFinalBoundary = false;

  // The same part, not read yet.
  std::shared_ptr<LMHTTPBodyPart> freshCopy() const;

  const Headers& headers() const { return headers_; }
  std::uint64_t bodyContentLength() const { return body_.length; }
  // Boundary, header and body bytes, with the closing boundary when
  // hasFinalBoundary is set.
  std::uint64_t contentLength() const;

  // Whether read() has more to give.
  bool hasBytesAvailable() const { return phase_ != Phase::Done && !failed_; }
  // Copies up to `length` bytes into `buffer`: the count (0 at the end), or
  // the error that stopped the part.
  platform::Result<std::size_t> read(std::uint8_t* buffer, std::size_t length);

 private:
  enum class Phase { Boundary, Header, Body, FinalBoundary, Done };

  std::string boundaryText() const;
  std::string headerText() const;
  std::string finalBoundaryText() const;
  // Copies from `text` at the phase offset; moves to the next phase at its end.
  std::size_t readText(const std::string& text, std::uint8_t* buffer, std::size_t length);
  platform::Result<std::size_t> readBody(std::uint8_t* buffer, std::size_t length);
  void nextPhase();
  platform::Bytes encoded(const std::string& text) const;

  Headers headers_;
  platform::http::BodySource body_;
  std::string bodyName_;  // for messages: the file, or "the part's body"

  Phase phase_ = Phase::Boundary;
  std::uint64_t offset_ = 0;
  platform::Bytes phaseBytes_;
  bool phaseBytesReady_ = false;
  std::unique_ptr<platform::http::BodyStream> stream_;
  bool failed_ = false;
};

}  // namespace lumora
