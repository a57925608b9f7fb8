// The byte stream of a multipart form body: its parts read one after the
// other, the first opening with the initial boundary and the last closing
// with the final one (setInitialAndFinalBoundaries), so the body can be
// produced in pieces without first joining the parts in memory.
//
// Ownership: owned by its LMStreamingMultipartFormData; owns its parts.
// Threading: one reader at a time. Failures: a part that cannot be read ends
// the stream with that part's error (streamError()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "cloud/request/LMHTTPBodyPart.h"

namespace lumora {

class LMMultipartBodyStream {
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

  // Copies up to `length` bytes; the count, 0 at the end, -1 on an error.
  std::int64_t read(std::uint8_t* buffer, std::size_t length);
  bool hasBytesAvailable() const;
  const std::optional<platform::Error>& streamError() const { return error_; }

 private:
  LMStringEncoding stringEncoding_;
  std::vector<std::shared_ptr<LMHTTPBodyPart>> parts_;
  std::size_t current_ = 0;
  std::optional<platform::Error> error_;
};

}  // namespace lumora
