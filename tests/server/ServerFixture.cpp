#include "ServerFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "server/services/Crypto.h"
#include "support/Sanitizers.h"

namespace servertest {

namespace {

Reply decode(const httplib::Result& result) {
  Reply reply;
  if (!result) return reply;
  reply.status = result->status;
  reply.body = result->body;
  const std::string prefix = "&&&START&&&";
  if (reply.body.rfind(prefix, 0) == 0) {
    reply.prefixed = true;
    reply.json = Json::parse(reply.body.substr(prefix.size()), nullptr, false);
  }
  auto range = result->headers.equal_range("Set-Cookie");
  for (auto it = range.first; it != range.second; ++it) {
    std::string pair = it->second.substr(0, it->second.find(';'));
    auto eq = pair.find('=');
    if (eq != std::string::npos) reply.cookies[pair.substr(0, eq)] = pair.substr(eq + 1);
  }
  return reply;
}

httplib::Headers headersFor(const Device* device) {
  httplib::Headers headers;
  if (device && !device->cookies.empty()) headers.emplace("Cookie", device->cookieHeader());
  return headers;
}

}  // namespace

std::string enc(const std::string& value) { return httplib::detail::encode_query_param(value); }

namespace {
std::string hexLength(std::size_t size) {
  char text[32];
  std::snprintf(text, sizeof text, "%zx", size);
  return text;
}
}  // namespace

RawReply rawPost(int port, const std::string& path, const std::string& body,
                 const std::string& cookie, bool chunked) {
  RawReply reply;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return reply;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{testsupport::scaled(std::chrono::seconds(10)).count(), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                        (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n") +
                        (chunked ? "Transfer-Encoding: chunked\r\n\r\n" + hexLength(body.size()) +
                                       "\r\n" + body + "\r\n0\r\n\r\n"
                                 : "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  std::string response;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::size_t sent = 0;
    while (sent < request.size()) {
      ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) response.append(buffer, n);
  }
  ::close(fd);
  // "HTTP/1.1 200 OK\r\n...\r\n\r\nbody"
  std::size_t space = response.find(' ');
  std::size_t end = response.find("\r\n\r\n");
  if (space == std::string::npos || end == std::string::npos) return reply;
  reply.status = std::atoi(response.c_str() + space + 1);
  reply.body = response.substr(end + 4);
  return reply;
}

std::string Device::cookieHeader() const {
  std::string header;
  for (const auto& [name, value] : cookies) {
    if (!header.empty()) header += "; ";
    header += name + "=" + value;
  }
  return header;
}

void Device::absorb(const Reply& reply) {
  for (const auto& [name, value] : reply.cookies) cookies[name] = value;
}

void ServerTest::SetUp() {
  dataDir_ = home_.root() / "cloud";
  std::string error;
  server_ = localcloud::CloudServer::create(dataDir_, &error);
  ASSERT_TRUE(server_) << error;
  ASSERT_TRUE(server_->start(0, &error)) << error;
}

void ServerTest::TearDown() {
  if (server_) server_->stop();
  server_.reset();
}

void ServerTest::restart() {
  server_->stop();
  server_.reset();
  std::string error;
  server_ = localcloud::CloudServer::create(dataDir_, &error);
  ASSERT_TRUE(server_) << error;
  ASSERT_TRUE(server_->start(0, &error)) << error;
}

std::string ServerTest::host() const { return "http://127.0.0.1:" + std::to_string(server_->port()); }

std::unique_ptr<httplib::Client> ServerTest::client() const {
  auto cli = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
  cli->set_read_timeout(testsupport::scaled(std::chrono::seconds(10)));
  return cli;
}

Reply ServerTest::get(const std::string& pathAndQuery, Device* device) {
  Reply reply = decode(client()->Get(pathAndQuery, headersFor(device)));
  if (device) device->absorb(reply);
  return reply;
}

Reply ServerTest::post(const std::string& path, const httplib::Params& form, Device* device) {
  Reply reply = decode(client()->Post(path, headersFor(device), form));
  if (device) device->absorb(reply);
  return reply;
}

Reply ServerTest::adminPost(const std::string& path, const Json& body) {
  return plainJsonReply(client()->Post(path, body.dump(), "application/json"));
}

Reply plainJsonReply(const httplib::Result& result) {
  Reply reply;
  if (!result) return reply;
  reply.status = result->status;
  reply.body = result->body;
  reply.json = Json::parse(result->body, nullptr, false);
  return reply;
}

Reply ServerTest::serviceLogin(Device& device, const std::string& sid,
                               const httplib::Params& extra) {
  httplib::Params params = extra;
  params.emplace("sid", sid);
  params.emplace("_json", "true");
  return get(httplib::append_query_params("/pass/serviceLogin", params), &device);
}

Reply ServerTest::passwordStep(Device& device, const Reply& page, const std::string& user,
                               const httplib::Params& credentials) {
  httplib::Params form = credentials;
  form.emplace("user", user);
  for (const char* key : {"sid", "callback", "qs", "_sign"}) {
    if (page.json.contains(key)) form.emplace(key, page.json[key].get<std::string>());
  }
  form.emplace("_json", "true");
  return post("/pass/serviceLoginAuth2", form, &device);
}

Reply ServerTest::passwordLogin(Device& device, const std::string& user,
                                const std::string& password, const std::string& sid) {
  Reply page = serviceLogin(device, sid);
  EXPECT_EQ(page.code(), 70016);
  return passwordStep(device, page, user, {{"pwd", password}});
}

Reply ServerTest::serviceTokenStep(Device& device, const Reply& login,
                                   std::optional<std::string> sign,
                                   const std::string& extraQuery) {
  std::string location = login.json.value("location", "");
  std::string security = login.json.value("ssecurity", "");
  std::int64_t nonce = login.json.value("nonce", std::int64_t{0});
  if (!sign) sign = localcloud::crypto::sha1Base64("nonce=" + std::to_string(nonce) + "&" + security);
  EXPECT_EQ(location.rfind(host(), 0), 0u) << location;
  std::string path = location.substr(host().size()) + extraQuery + "&clientSign=" + enc(*sign);
  return get(path, &device);
}

}  // namespace servertest
