// The multipart form body of a request: callers append file, data, stream
// and form parts, then requestByFinalizingMultipartFormData() gives the
// request with the "multipart/form-data; boundary=..." content type, the
// content length and a body source that streams the parts as the request is
// sent (files and streams are read in pieces, never whole).
//
// Ownership: a value made per request and dropped after finalising; the
// request's body source keeps what it reads. Threading: one thread at a
// time. Failures: appending a file that does not exist or is not a regular
// file fails at once; a file or stream that cannot be read, or ends early,
// while the body goes out fails the send. Nothing is sent with a partial
// body.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "cloud/request/LMHTTPBodyPart.h"
#include "cloud/request/LMMultipartBodyStream.h"
#include "platform/Result.h"
#include "platform/http/Request.h"

namespace lumora {

class LMStreamingMultipartFormData {
 public:
  LMStreamingMultipartFormData(platform::http::Request request,
                               LMStringEncoding encoding = kLMUTF8StringEncoding);

  // "Boundary+" and sixteen random upper-case hexadecimal digits.
  const std::string& boundary() const { return boundary_; }
  const LMMultipartBodyStream& bodyStream() const { return *bodyStream_; }

  // A file part read from `path` when the body is produced.
  platform::Status appendPartWithFileURL(const std::filesystem::path& path, const std::string& name,
                                         const std::string& fileName, const std::string& mimeType);
  // A file part from bytes in memory.
  void appendPartWithFileData(platform::Bytes data, const std::string& name,
                              const std::string& fileName, const std::string& mimeType);
  // A file part read from `body` as it is sent (`body.length` bytes).
  void appendPartWithInputStream(platform::http::BodySource body, const std::string& name,
                                 const std::string& fileName, const std::string& mimeType);
  // A plain form field.
  void appendPartWithFormData(platform::Bytes data, const std::string& name);
  // A part with the headers given.
  void appendPartWithHeaders(LMHTTPBodyPart::Headers headers, platform::Bytes body);

  // The request with the body, or unchanged when no part was appended.
  platform::http::Request requestByFinalizingMultipartFormData();

 private:
  static std::string makeBoundary();
  static LMHTTPBodyPart::Headers fileHeaders(const std::string& name, const std::string& fileName,
                                             const std::string& mimeType);
  void appendPart(std::shared_ptr<LMHTTPBodyPart> part);

  platform::http::Request request_;
  std::string boundary_;
  std::unique_ptr<LMMultipartBodyStream> bodyStream_;
};

}  // namespace lumora
