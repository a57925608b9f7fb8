#include "harbor/HBRMultipartMimeStreamEncoder.h"

#include <cerrno>
#include <filesystem>
#include <limits>

#include "harbor/HBRBundle.h"
#include "harbor/HBRMachO.h"
#include "platform/diagnostics/Console.h"
#include "platform/storage/OwnFile.h"

namespace lumora {
namespace {

// A part is held in memory whole: no bound but what a string can hold.
constexpr std::uint64_t kFileBytesLimit = std::numeric_limits<std::ptrdiff_t>::max();

}  // namespace

std::string HBRMultipartMimeStreamEncoder::generateBoundary() { return HBRCreateUUIDString(); }

std::string HBRMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(const std::string& boundary) {
  return "multipart/form-data; boundary=" + boundary;
}

std::unique_ptr<HBRMultipartMimeStreamEncoder> HBRMultipartMimeStreamEncoder::encoderWithStream(
    std::shared_ptr<platform::OutputStream> stream, const std::optional<std::string>& boundary) {
  return std::make_unique<HBRMultipartMimeStreamEncoder>(std::move(stream), boundary);
}

void HBRMultipartMimeStreamEncoder::populateRequest(
    platform::http::Request& request, const std::function<void(HBRMultipartMimeStreamEncoder&)>& block) {
  auto stream = std::make_shared<platform::MemoryOutputStream>();
  HBRMultipartMimeStreamEncoder encoder(stream, generateBoundary());
  encoder.encode(block);
  request.headers.set("Content-Type", encoder.contentTypeHTTPHeaderValue());
  request.headers.set("Content-Length", encoder.contentLengthHTTPHeaderValue());
  request.body = stream->dataWrittenToMemory().value_or(platform::Bytes{});
  request.bodySource.reset();
}

HBRMultipartMimeStreamEncoder::HBRMultipartMimeStreamEncoder(std::shared_ptr<platform::OutputStream> stream,
                                                             const std::optional<std::string>& boundary)
    : boundary_(boundary ? *boundary : generateBoundary()), stream_(std::move(stream)) {}

void HBRMultipartMimeStreamEncoder::encode(const std::function<void(HBRMultipartMimeStreamEncoder&)>& block) {
  beginEncoding();
  if (block) block(*this);
  endEncoding();
}

std::string HBRMultipartMimeStreamEncoder::contentTypeHTTPHeaderValue() const {
  return contentTypeHTTPHeaderValueWithBoundary(boundary_);
}

std::string HBRMultipartMimeStreamEncoder::contentLengthHTTPHeaderValue() const {
  return std::to_string(length_);
}

void HBRMultipartMimeStreamEncoder::beginEncoding() {
  length_ = 0;
  writeData(headerData());
}

void HBRMultipartMimeStreamEncoder::endEncoding() {
  writeData(footerData());
  if (stream_) stream_->close();
}

platform::Bytes HBRMultipartMimeStreamEncoder::headerData() const {
  return platform::toBytes("MIME-Version: 1.0\r\n");
}

platform::Bytes HBRMultipartMimeStreamEncoder::footerData() const {
  return platform::toBytes("--" + boundary_ + "--\r\n");
}

void HBRMultipartMimeStreamEncoder::addFileData(const std::optional<platform::Bytes>& data,
                                                const std::optional<std::string>& fileName,
                                                const std::optional<std::string>& mimeType,
                                                const std::optional<std::string>& fieldName) {
  if (!data || !fileName || !fieldName) return;
  writeText("--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + *fieldName + "\"; filename=\"" +
            *fileName + "\"\r\n");
  if (mimeType) {
    writeText("Content-Type: " + *mimeType + "\r\n");
    writeText("Content-Transfer-Encoding: binary\r\n\r\n");
  } else {
    writeText("Content-Type: application/octet-stream\r\n\r\n");
  }
  writeData(*data);
  writeText("\r\n");
}

void HBRMultipartMimeStreamEncoder::addValue(const std::optional<platform::Json>& value,
                                             const std::optional<std::string>& fieldName) {
  if (!value || value->is_null() || !fieldName) return;
  writeText("--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + *fieldName + "\"\r\n");
  writeText("Content-Type: text/plain\r\n\r\n");
  writeText((value->is_string() ? value->get<std::string>() : value->dump()) + "\r\n");
}

platform::Status HBRMultipartMimeStreamEncoder::addFile(const std::filesystem::path& file,
                                                        const std::optional<std::string>& fileName,
                                                        const std::optional<std::string>& mimeType,
                                                        const std::optional<std::string>& fieldName) {
  // Only a file of the program's own that reads whole makes a part: a
  // symbolic link (to a file of the user's), a pipe or a folder at its name
  // makes none, and is neither read through nor waited on. The error's code
  // tells the caller whether a later try may read it.
  platform::OwnFileProblem problem = platform::OwnFileProblem::None;
  const auto contents = platform::readOwnFile(file, kFileBytesLimit, &problem);
  if (!contents) {
    const int code = problem == platform::OwnFileProblem::Missing    ? ENOENT
                     : problem == platform::OwnFileProblem::TooLarge ? EFBIG
                                                                     : errno;
    if (problem == platform::OwnFileProblem::NotRegular) {
      return platform::posixError(code, file.string() + " is no file of the program's own");
    }
    return platform::posixError(code, "Unable to read " + file.string());
  }
  addFileData(platform::toBytes(*contents), fileName, mimeType, fieldName);
  return platform::Status::success();
}

bool HBRMultipartMimeStreamEncoder::writeBytes(const std::uint8_t* bytes, std::size_t length) {
  if (stream_ && stream_->write(bytes, length).ok()) {
    length_ += length;
    return true;
  }
  platform::consoleLog("[Harbor] Failed to write bytes to stream");
  return false;
}

void HBRMultipartMimeStreamEncoder::writeData(const platform::Bytes& data) {
  HBREnumerateDataByteRanges(data, [&](const std::uint8_t* bytes, std::size_t, std::size_t size, bool& stop) {
    if (stream_ && stream_->write(bytes, size).ok()) {
      length_ += size;
      return;
    }
    platform::consoleLog("[Harbor] Failed to write data to stream");
    stop = true;
  });
}

void HBRMultipartMimeStreamEncoder::writeText(const std::string& text) {
  writeData(platform::toBytes(text));
}

}  // namespace lumora
