// The streaming upload route: a signed multipart body goes to disk as it
// arrives and is committed only when it arrived whole and well formed.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "CloudFixture.h"
#include "server/http/HttpUtil.h"

namespace servertest {
namespace {

constexpr const char* kUpload = "/lum/file/v3/user/7002/upload";

class UploadServiceTest : public KeyedCloudTest {
 protected:
  UploadServiceTest() : KeyedCloudTest(7002) {}

  // POSTs `items` as multipart to the upload route, signed unless `signature`
  // is given.
  CloudReply upload(const httplib::MultipartFormDataItems& items,
                    std::optional<std::string> signature = std::nullopt) const {
    std::string given = signature.value_or(cloud_->sign("POST", kUpload, {}).at("signature"));
    httplib::Client cli("127.0.0.1", server_->port());
    cli.set_read_timeout(30, 0);
    httplib::Headers headers{{"Cookie", cloud_->cookie()}};
    return cloud_->decode(
        cli.Post((std::string(kUpload) + "?signature=" + localcloud::http::urlEncode(given)).c_str(),
                 headers, items));
  }
  std::size_t committed() const { return server_->uploads().committedFiles(7002).size(); }
};

TEST_F(UploadServiceTest, OnlyWholeSignedUploadsWithOneFileAreCommitted) {
  // Larger than the limit of ordinary requests.
  const std::string content(9 * 1024 * 1024, 'z');
  auto stored = upload({{"note", "x", "", ""}, {"file", content, "big.bin", "application/octet-stream"}});
  ASSERT_EQ(stored.status, 200) << stored.body;
  EXPECT_EQ(stored.data()["size"], content.size());
  EXPECT_EQ(stored.data()["fileName"], "big.bin");
  auto files = server_->uploads().committedFiles(7002);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename(), stored.data()["sha1"].get<std::string>());
  std::ifstream in(files[0], std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);

  struct Case {
    const char* what;
    httplib::MultipartFormDataItems items;
    std::optional<std::string> signature;
    int status;
  };
  const Case refused[] = {
      {"wrong signature", {{"file", "a", "a", ""}}, std::string("AAAA"), 403},
      {"no file part", {{"note", "a", "", ""}}, std::nullopt, 400},
      {"two file parts", {{"file", "a", "a", ""}, {"file", "b", "b", ""}}, std::nullopt, 400},
  };
  for (const auto& c : refused) {
    EXPECT_EQ(upload(c.items, c.signature).status, c.status) << c.what;
  }
  // Not multipart at all.
  EXPECT_EQ(cloud_->post(kUpload, {}).status, 400);
  EXPECT_TRUE(server_->uploads().waitUntilIdle(std::chrono::seconds(10)));
  EXPECT_EQ(committed(), 1u);
  EXPECT_EQ(server_->uploads().pendingFiles(), 0u);
}

}  // namespace
}  // namespace servertest
