#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "harbor/HBRMultipartMimeStreamEncoder.h"
#include "platform/storage/OwnFile.h"
#include "support/PlantedFiles.h"
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

// A file part holds the whole file, read only as a file of the program's
// own. Anything else where an upload expects a packaged file (a link of
// either kind to a user's file, a pipe, a folder, nothing) makes no part,
// says why, is never waited on, and stops nothing; the user's file is
// neither sent nor changed.
TEST(HBRMultipartMimeStreamEncoderTest, FilePartsComeOnlyFromFilesOfTheProgramsOwn) {
  using testsupport::Planted;
  testsupport::TestHome home;
  const std::filesystem::path userFile = home.root() / "user.txt";
  std::ofstream(userFile, std::ios::binary) << "USER TEXT";
  const std::filesystem::path file = home.root() / "0.log.zip";
  std::ofstream(file, std::ios::binary) << "GZ";
  const std::filesystem::path missing = home.root() / "missing";
  std::vector<std::filesystem::path> refused{missing};
  for (Planted kind : {Planted::Folder, Planted::Pipe, Planted::SymbolicLink}) {
    refused.push_back(home.root() / (std::to_string(refused.size()) + ".log.zip"));
    ASSERT_TRUE(testsupport::plant(kind, refused.back(), userFile)) << testsupport::plantedName(kind);
  }
  // A second name of a file of the program's own is that file.
  const std::filesystem::path secondName = home.root() / "second.log.zip";
  std::filesystem::create_hard_link(file, secondName);
  std::string body;
  EXPECT_TRUE(testsupport::endsWithoutWaitingOn(refused[2], [&] {
    body = multipartEncode([&](auto& e) {
      for (const auto& path : refused) {
        const auto added = e.addFile(path, path.filename().string(), std::nullopt, std::string("f"));
        ASSERT_FALSE(added.ok()) << path;
        const auto code = static_cast<int>(added.error().code());
        EXPECT_TRUE(path == missing ? code == ENOENT : platform::notOwnFile(code)) << path << ": " << code;
      }
      EXPECT_TRUE(e.addFile(file, std::string("0.log.zip"), std::nullopt, std::string("f")).ok());
      EXPECT_TRUE(e.addFile(secondName, std::string("second.log.zip"), std::nullopt, std::string("f")).ok());
    });
  }));
  EXPECT_EQ(body, multipartEncode([](auto& e) {
              e.addFileData(platform::toBytes("GZ"), std::string("0.log.zip"), std::nullopt, std::string("f"));
              e.addFileData(platform::toBytes("GZ"), std::string("second.log.zip"), std::nullopt, std::string("f"));
            }));
  std::ifstream in(userFile, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "USER TEXT");
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
