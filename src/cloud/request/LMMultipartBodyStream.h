// The byte stream of a multipart form body: its parts read one after the
// other, the first opening with the initial boundary and the last closing
// with the final one (setInitialAndFinalBoundaries), so the body is produced
// in pieces as it is sent and never joined in memory. bodySource() hands the
// body to a request: each send reads a fresh copy of the stream.
//
// Ownership: owned by its LMStreamingMultipartFormData; owns its parts; a
// body source holds unread copies of them. Threading: one reader at a time.
// Failures: a part that cannot be read ends the stream with that part's
// error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "cloud/request/LMHTTPBodyPart.h"
#include "platform/http/Request.h"

namespace lumora {

class LMMultipartBodyStream final : public platform::http::BodyStream {
 public:
  explicit LMMultipartBodyStream(LMStringEncoding encoding = kLMUTF8StringEncoding);

  LMStringEncoding stringEncoding() const { return stringEncoding_; }

  // Adds a part (its encoding set to the stream's).
  void appendHTTPBodyPart(std::shared_ptr<LMHTTPBodyPart> part);
  // Marks the first part as opening and the last as closing the body.
  void setInitialAndFinalBoundaries();
  bool isEmpty() const { return parts_.empty(); }
  const std::vector<std::shared_ptr<LMHTTPBodyPart>>& parts() const { return parts_; }
  // Sum of the parts' lengths.
  std::uint64_t contentLength() const;

  // Copies up to `size` bytes: the count (0 at the end) or the error of the
  // part that failed (every later read gives it again).
  platform::Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override;
  bool hasBytesAvailable() const;

  // The whole body as a source: its length, and a fresh unread copy of the
  // stream for each reading.
  platform::http::BodySource bodySource() const;

 private:
  LMStringEncoding stringEncoding_;
  std::vector<std::shared_ptr<LMHTTPBodyPart>> parts_;
  std::size_t current_ = 0;
  std::optional<platform::Error> error_;
};

}  // namespace lumora
