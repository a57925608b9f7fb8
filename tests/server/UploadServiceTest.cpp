// The streaming upload route: a signed multipart body goes to disk as it
// arrives and is committed only when it arrived whole and well formed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "CloudFixture.h"
#include "server/http/HttpUtil.h"
#include "support/Sanitizers.h"

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
    cli.set_read_timeout(testsupport::scaled(std::chrono::seconds(30)));
    httplib::Headers headers{{"Cookie", cloud_->cookie()}};
    return cloud_->decode(
        cli.Post((std::string(kUpload) + "?signature=" + localcloud::http::urlEncode(given)).c_str(),
                 headers, items));
  }
  std::size_t committed() const { return server_->uploads().committedFiles(7002).size(); }

  // Sends a signed head announcing `length` bytes, then `body` (as much as
  // the server takes); what the server answers within two seconds, as long
  // as the build stretches them ("" for nothing), the connection being
  // closed by then.
  std::string rawUpload(std::uint64_t length, const std::string& body) const {
    const std::string signature = cloud_->sign("POST", kUpload, {}).at("signature");
    const std::string head = "POST " + std::string(kUpload) + "?signature=" + localcloud::http::urlEncode(signature) +
                             " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cloud_->cookie() +
                             "\r\nContent-Type: multipart/form-data; boundary=B\r\nContent-Length: " +
                             std::to_string(length) + "\r\n\r\n";
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server_->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "";
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    const int taken = testsupport::scaledMilliseconds(std::chrono::milliseconds(200));
    for (std::size_t sent = 0; sent < body.size();) {
      ssize_t n = ::send(fd, body.data() + sent, body.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<std::size_t>(n);
      pollfd out{fd, POLLOUT, 0};
      if (n < 0 && (errno != EAGAIN || ::poll(&out, 1, taken) != 1)) break;  // no longer taken
    }
    std::string reply;
    pollfd in{fd, POLLIN, 0};
    char buffer[4096];
    ssize_t n = 0;
    const int answered = testsupport::scaledMilliseconds(std::chrono::seconds(2));
    while (::poll(&in, 1, answered) == 1 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, n);
    ::close(fd);
    return n <= 0 ? reply : "";
  }
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
  EXPECT_TRUE(server_->uploads().waitUntilIdle(testsupport::scaled(std::chrono::seconds(10))));
  EXPECT_EQ(committed(), 1u);
  EXPECT_EQ(server_->uploads().pendingFiles(), 0u);
}

TEST_F(UploadServiceTest, OversizedAndEndlessBodiesAreRefusedWithoutBeingHeld) {
  // Announced past the route's limit: 413 before a byte of it is read.
  EXPECT_EQ(rawUpload(localcloud::CloudServer::kMaxUploadBody + 1, "").substr(0, 12), "HTTP/1.1 413");
  // A part header that never ends: cut off once it is past its bound, not
  // kept growing while the announced body lasts.
  const std::string endless =
      "--B\r\nContent-Disposition: form-data; name=\"file\"\r\nX-Pad: " + std::string(4 << 20, 'a');
  EXPECT_FALSE(rawUpload(std::uint64_t{512} << 20, endless).empty());
  EXPECT_TRUE(server_->uploads().waitUntilIdle(testsupport::scaled(std::chrono::seconds(10))));
  EXPECT_EQ(server_->uploads().pendingFiles(), 0u);
}

}  // namespace
}  // namespace servertest
