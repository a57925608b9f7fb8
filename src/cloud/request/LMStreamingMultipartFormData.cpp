#include "cloud/request/LMStreamingMultipartFormData.h"

#include <system_error>
#include <utility>

#include "platform/Random.h"

namespace lumora {

LMStreamingMultipartFormData::LMStreamingMultipartFormData(platform::http::Request request,
                                                           LMStringEncoding encoding)
    : request_(std::move(request)),
      boundary_(makeBoundary()),
      bodyStream_(std::make_unique<LMMultipartBodyStream>(encoding)) {}

std::string LMStreamingMultipartFormData::makeBoundary() {
  return "Boundary+" + platform::upperCased(platform::hexString(platform::randomBytes(8)));
}

LMHTTPBodyPart::Headers LMStreamingMultipartFormData::fileHeaders(const std::string& name,
                                                                  const std::string& fileName,
                                                                  const std::string& mimeType) {
  return {{"Content-Disposition", "form-data; name=\"" + name + "\"; filename=\"" + fileName + "\""},
          {"Content-Type", mimeType}};
}

void LMStreamingMultipartFormData::appendPart(std::shared_ptr<LMHTTPBodyPart> part) {
  part->boundary = boundary_;
  bodyStream_->appendHTTPBodyPart(std::move(part));
}

platform::Status LMStreamingMultipartFormData::appendPartWithFileURL(
    const std::filesystem::path& path, const std::string& name, const std::string& fileName,
    const std::string& mimeType) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    return platform::Error(kLMRequestSerializationErrorDomain, kLMRequestErrorFileDoesNotExist,
                           {{platform::Error::kLocalizedDescriptionKey,
                             "Failed to find a file at " + path.string()}});
  }
  auto size = std::filesystem::file_size(path, ec);
  if (ec) {
    return platform::Error(kLMRequestSerializationErrorDomain, kLMRequestErrorCannotReadFile,
                           {{platform::Error::kLocalizedDescriptionKey,
                             "Failed to read the size of " + path.string()}});
  }
  appendPart(std::make_shared<LMHTTPBodyPart>(fileHeaders(name, fileName, mimeType), path, size));
  return platform::Status::success();
}

void LMStreamingMultipartFormData::appendPartWithFileData(platform::Bytes data,
                                                          const std::string& name,
                                                          const std::string& fileName,
                                                          const std::string& mimeType) {
  appendPartWithHeaders(fileHeaders(name, fileName, mimeType), std::move(data));
}

void LMStreamingMultipartFormData::appendPartWithInputStream(platform::http::BodySource body,
                                                             const std::string& name,
                                                             const std::string& fileName,
                                                             const std::string& mimeType) {
  appendPart(std::make_shared<LMHTTPBodyPart>(fileHeaders(name, fileName, mimeType), std::move(body)));
}

void LMStreamingMultipartFormData::appendPartWithFormData(platform::Bytes data,
                                                          const std::string& name) {
  appendPartWithHeaders({{"Content-Disposition", "form-data; name=\"" + name + "\""}},
                        std::move(data));
}

void LMStreamingMultipartFormData::appendPartWithHeaders(LMHTTPBodyPart::Headers headers,
                                                         platform::Bytes body) {
  appendPart(std::make_shared<LMHTTPBodyPart>(std::move(headers), std::move(body)));
}

platform::http::Request LMStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
  if (bodyStream_->isEmpty()) return request_;
  bodyStream_->setInitialAndFinalBoundaries();
  platform::http::Request request = request_;
  request.headers.set("Content-Type", "multipart/form-data; boundary=" + boundary_);
  request.headers.set("Content-Length", std::to_string(bodyStream_->contentLength()));
  request.body.clear();
  request.bodySource = bodyStream_->bodySource();
  return request;
}

}  // namespace lumora
