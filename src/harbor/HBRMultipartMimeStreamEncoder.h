// Writes a multipart/form-data body part by part into an output stream (in
// memory for a request body, a file for a report package) and counts the
// bytes the stream took, so the caller can set Content-Length without
// holding the body twice. Names, file names and values go out as given:
// nothing is escaped.
// Ownership: shares the stream with its creator. Threading: one thread
// encodes with it; no lock. Failure: a write the stream refuses is logged
// and not counted; the body is then shorter, and no part operation reports
// an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/OutputStream.h"
#include "platform/Result.h"
#include "platform/http/Request.h"

namespace lumora {

class HBRMultipartMimeStreamEncoder {
 public:
  // A new boundary: a random UUID text.
  static std::string generateBoundary();
  // "multipart/form-data; boundary=<boundary>".
  static std::string contentTypeHTTPHeaderValueWithBoundary(const std::string& boundary);
  static std::unique_ptr<HBRMultipartMimeStreamEncoder> encoderWithStream(
      std::shared_ptr<platform::OutputStream> stream, const std::optional<std::string>& boundary);
  // Encodes a body in memory with `block` and makes it the request's body,
  // with its Content-Type and Content-Length.
  static void populateRequest(platform::http::Request& request,
                              const std::function<void(HBRMultipartMimeStreamEncoder&)>& block);

  // A boundary is generated when none is given.
  HBRMultipartMimeStreamEncoder(std::shared_ptr<platform::OutputStream> stream,
                                const std::optional<std::string>& boundary);

  // beginEncoding, the block, endEncoding.
  void encode(const std::function<void(HBRMultipartMimeStreamEncoder&)>& block);
  std::string contentTypeHTTPHeaderValue() const;
  // length() as decimal text.
  std::string contentLengthHTTPHeaderValue() const;
  // Counts from 0 and writes the header; writes the footer and closes.
  void beginEncoding();
  void endEncoding();
  platform::Bytes headerData() const;
  platform::Bytes footerData() const;

  // A file part; nothing without data, file name or field name. Without a
  // type the part is application/octet-stream.
  void addFileData(const std::optional<platform::Bytes>& data, const std::optional<std::string>& fileName,
                   const std::optional<std::string>& mimeType, const std::optional<std::string>& fieldName);
  // A text part: a string as it is, any other value as its JSON text;
  // nothing for an absent or null value or an absent field name.
  void addValue(const std::optional<platform::Json>& value, const std::optional<std::string>& fieldName);
  // The whole file as a file part, read only as a file of the program's own
  // (platform::readOwnFile: never through a symbolic link, never waiting on
  // a pipe).
  // Nothing is written when it is no such file or cannot be read, and the
  // error says why: its POSIX code is the failed call's (ENOENT when
  // missing; ELOOP, EISDIR, EINVAL or ENXIO for something that is no
  // file of the program's own, see platform::notOwnFile; one that may pass,
  // see platform::ownFileFailureMayPass).
  platform::Status addFile(const std::filesystem::path& file, const std::optional<std::string>& fileName,
               const std::optional<std::string>& mimeType, const std::optional<std::string>& fieldName);
  // True when the stream took every byte.
  bool writeBytes(const std::uint8_t* bytes, std::size_t length);
  void writeData(const platform::Bytes& data);

  std::uint64_t length() const { return length_; }
  const std::string& boundary() const { return boundary_; }
  const std::shared_ptr<platform::OutputStream>& outputStream() const { return stream_; }

 private:
  void writeText(const std::string& text);

  std::uint64_t length_ = 0;
  std::string boundary_;
  std::shared_ptr<platform::OutputStream> stream_;
};

}  // namespace lumora
