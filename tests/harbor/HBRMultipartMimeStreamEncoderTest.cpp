#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "harbor/HBRMultipartMimeStreamEncoder.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

// Takes `budget` bytes, then refuses every write.
class MultipartShortStream final : public platform::OutputStream {
 public:
  explicit MultipartShortStream(std::size_t budget) : budget_(budget) {}
  platform::Status write(const std::uint8_t* data, std::size_t size) override {
    if (size > budget_) return platform::Error("test", 1);
    budget_ -= size;
    bytes.insert(bytes.end(), data, data + size);
    return platform::Status::success();
  }
  platform::Bytes bytes;

 private:
  std::size_t budget_;
};

std::string multipartEncode(const std::function<void(HBRMultipartMimeStreamEncoder&)>& parts,
                            std::uint64_t* length = nullptr) {
  auto stream = std::make_shared<platform::MemoryOutputStream>();
  HBRMultipartMimeStreamEncoder encoder(stream, std::string("B"));
  EXPECT_EQ(encoder.contentLengthHTTPHeaderValue(), "0");
  encoder.encode(parts);
  std::string body = platform::toString(*stream->dataWrittenToMemory());
  EXPECT_EQ(encoder.length(), body.size());
  if (length) *length = encoder.length();
  return body;
}

TEST(HBRMultipartMimeStreamEncoderTest, BodiesAreByteExact) {
  const std::string head = "MIME-Version: 1.0\r\n";
  EXPECT_EQ(multipartEncode([](auto& e) { e.addValue(platform::Json(1), std::string("f")); }),
            head + "--B\r\nContent-Disposition: form-data; name=\"f\"\r\nContent-Type: text/plain\r\n\r\n1\r\n--B--\r\n");
  EXPECT_EQ(multipartEncode([](auto& e) {
              e.addValue(platform::Json(nullptr), std::string("f"));
              e.addValue(std::nullopt, std::string("f"));
              e.addValue(platform::Json("v"), std::nullopt);
              e.addFileData(std::nullopt, std::string("a"), std::nullopt, std::string("f"));
            }),
            head + "--B--\r\n");
  EXPECT_EQ(multipartEncode([](auto& e) {
              e.addFileData(platform::toBytes("PNG"), std::string("a.png"), std::string("image/png"), std::string("p"));
              e.addFileData(platform::Bytes{0x00, 0x01}, std::string("b"), std::nullopt, std::string("q"));
            }),
            head +
                "--B\r\nContent-Disposition: form-data; name=\"p\"; filename=\"a.png\"\r\n"
                "Content-Type: image/png\r\nContent-Transfer-Encoding: binary\r\n\r\nPNG\r\n"
                "--B\r\nContent-Disposition: form-data; name=\"q\"; filename=\"b\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n" +
                std::string("\x00\x01", 2) + "\r\n--B--\r\n");

  platform::http::Request request;
  HBRMultipartMimeStreamEncoder::populateRequest(request, [](auto& e) { e.addValue(platform::Json("x"), std::string("k")); });
  EXPECT_EQ(request.headers.value("Content-Length"), std::to_string(request.body.size()));
  EXPECT_EQ(request.headers.value("Content-Type")->rfind("multipart/form-data; boundary=", 0), 0u);
}

// A file part holds the whole file. What is no file that reads whole (a
// directory or a pipe where an analytics upload expects a packaged log, or
// nothing) makes no part, says so, and stops nothing.
TEST(HBRMultipartMimeStreamEncoderTest, FilePartsComeOnlyFromRegularFilesThatRead) {
  testsupport::TestHome home;
  const std::filesystem::path file = home.root() / "0.log.zip";
  std::ofstream(file, std::ios::binary) << "GZ";
  const std::filesystem::path directory = home.root() / "1.log.zip";
  std::filesystem::create_directory(directory);
  const std::filesystem::path pipe = home.root() / "2.log.zip";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const std::string body = multipartEncode([&](auto& e) {
    for (const auto& path : {directory, pipe, home.root() / "missing", file}) {
      EXPECT_EQ(e.addFile(path, path.filename().string(), std::nullopt, std::string("f")).ok(), path == file) << path;
    }
  });
  EXPECT_EQ(body, multipartEncode([](auto& e) {
              e.addFileData(platform::toBytes("GZ"), std::string("0.log.zip"), std::nullopt, std::string("f"));
            }));
}

TEST(HBRMultipartMimeStreamEncoderTest, RefusedWritesAreNotCounted) {
  auto stream = std::make_shared<MultipartShortStream>(25);
  HBRMultipartMimeStreamEncoder encoder(stream, std::string("B"));
  encoder.encode([](auto& e) { e.addValue(platform::Json("v"), std::string("f")); });
  EXPECT_EQ(encoder.length(), stream->bytes.size());
  EXPECT_LT(encoder.length(), 40u);
}

}  // namespace
}  // namespace lumora
