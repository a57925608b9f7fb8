#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cloud/request/LMMultipartBodyStream.h"
#include "cloud/request/LMStreamingMultipartFormData.h"
#include "support/BodySource.h"
#include "support/TestHome.h"

namespace {

using namespace lumora;
using platform::Bytes;
using platform::toBytes;
using platform::toString;

platform::http::Request baseRequest() {
  platform::http::Request request;
  request.method = "POST";
  request.url = "http://127.0.0.1/upload";
  return request;
}

TEST(LMMultipartFormData, BodyLayoutHeadersAndLength) {
  LMStreamingMultipartFormData form(baseRequest());
  const std::string boundary = form.boundary();
  EXPECT_EQ(boundary.rfind("Boundary+", 0), 0u);
  EXPECT_EQ(boundary.size(), 9u + 16u);

  form.appendPartWithFormData(toBytes("v"), "field");
  form.appendPartWithFileData(toBytes("PNG"), "userfile", "a.png", "image/png");
  auto request = form.requestByFinalizingMultipartFormData();

  const std::string expected =
      "--" + boundary + "\r\n" +
      "Content-Disposition: form-data; name=\"field\"\r\n\r\n"
      "v\r\n--" + boundary + "\r\n" +
      "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.png\"\r\n"
      "Content-Type: image/png\r\n\r\n"
      "PNG\r\n--" + boundary + "--\r\n";
  ASSERT_TRUE(request.bodySource);
  EXPECT_EQ(request.bodySource->length, expected.size());
  EXPECT_EQ(toString(testsupport::readAll(*request.bodySource)), expected);
  // Each send reads the body afresh.
  EXPECT_EQ(toString(testsupport::readAll(*request.bodySource)), expected);
  EXPECT_EQ(request.headers.value("Content-Type"), "multipart/form-data; boundary=" + boundary);
  EXPECT_EQ(request.headers.value("Content-Length"), std::to_string(expected.size()));
  EXPECT_EQ(request.url, "http://127.0.0.1/upload");
}

TEST(LMMultipartFormData, WithoutPartsTheRequestIsUnchanged) {
  LMStreamingMultipartFormData form(baseRequest());
  auto request = form.requestByFinalizingMultipartFormData();
  EXPECT_TRUE(request.body.empty());
  EXPECT_FALSE(request.bodySource);
  EXPECT_FALSE(request.headers.contains("Content-Type"));
}

TEST(LMMultipartFormData, FilePartsAreStreamedFromDisk) {
  testsupport::TestHome home;
  auto path = home.root() / "block.bin";
  Bytes content(200 * 1024);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                              static_cast<std::streamsize>(content.size()));

  LMStreamingMultipartFormData form(baseRequest());
  ASSERT_TRUE(form.appendPartWithFileURL(path, "file", "block.bin", "application/octet-stream").ok());
  EXPECT_EQ(form.bodyStream().contentLength(), form.bodyStream().parts()[0]->contentLength());
  auto request = form.requestByFinalizingMultipartFormData();
  ASSERT_TRUE(request.bodySource);
  Bytes sent = testsupport::readAll(*request.bodySource);
  std::string body = toString(sent);
  auto start = body.find("\r\n\r\n") + 4;
  EXPECT_EQ(Bytes(sent.begin() + static_cast<long>(start),
                  sent.begin() + static_cast<long>(start + content.size())),
            content);
  EXPECT_EQ(body.substr(start + content.size()), "\r\n--" + form.boundary() + "--\r\n");
}

TEST(LMMultipartFormData, MissingOrShrunkenFilesFailInsteadOfSendingAPartialBody) {
  testsupport::TestHome home;
  LMStreamingMultipartFormData form(baseRequest());
  auto missing = form.appendPartWithFileURL(home.root() / "none", "file", "none", "text/plain");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code(), kLMRequestErrorFileDoesNotExist);
  EXPECT_FALSE(form.appendPartWithFileURL(home.root(), "dir", "d", "text/plain").ok());

  auto path = home.root() / "shrinks.txt";
  std::ofstream(path) << "0123456789";
  ASSERT_TRUE(form.appendPartWithFileURL(path, "file", "shrinks.txt", "text/plain").ok());
  std::filesystem::resize_file(path, 4);
  auto request = form.requestByFinalizingMultipartFormData();
  ASSERT_TRUE(request.bodySource);
  auto stream = request.bodySource->open();
  std::uint8_t buffer[256];
  auto read = stream->read(buffer, sizeof buffer);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().code(), kLMRequestErrorCannotReadFile);
  EXPECT_FALSE(stream->read(buffer, sizeof buffer).ok());  // and stays failed
}

TEST(LMMultipartBodyStream, ReadsInSmallPiecesAcrossPartBoundaries) {
  LMMultipartBodyStream stream;
  for (int i = 0; i < 3; ++i) {
    auto part = std::make_shared<LMHTTPBodyPart>(LMHTTPBodyPart::Headers{{"X", std::to_string(i)}},
                                                 toBytes(std::string(static_cast<std::size_t>(i), 'a')));
    part->boundary = "B";
    stream.appendHTTPBodyPart(part);
  }
  stream.setInitialAndFinalBoundaries();
  std::string out;
  std::uint8_t buffer[3];
  for (auto n = stream.read(buffer, sizeof buffer); n.ok() && *n > 0; n = stream.read(buffer, sizeof buffer)) {
    out.append(reinterpret_cast<char*>(buffer), *n);
  }
  EXPECT_FALSE(stream.hasBytesAvailable());
  EXPECT_EQ(out,
            "--B\r\nX: 0\r\n\r\n\r\n--B\r\nX: 1\r\n\r\na\r\n--B\r\nX: 2\r\n\r\naa\r\n--B--\r\n");
  EXPECT_EQ(out.size(), stream.contentLength());
}

}  // namespace
