#include "CloudFixture.h"

#include "server/services/Crypto.h"
#include "server/services/FileCrypto.h"
#include "support/Sanitizers.h"

namespace servertest {

namespace {

std::string formText(const Params& wire) {
  std::string text;
  for (const auto& [name, value] : wire) {
    if (!text.empty()) text += "&";
    text += enc(name) + "=" + enc(value);
  }
  return text;
}

}  // namespace

std::string rc4(const std::string& bytes, const std::string& key) {
  return localcloud::crypto::Rc4Stream(key).apply(bytes).value_or("");
}

std::string pattern(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) >> 3);
  return bytes;
}

std::string SignedClient::signingText(const std::string& method, const std::string& path,
                                      const Params& wire, const std::string& security) {
  std::string text = method + "&" + path;
  for (const auto& [name, value] : wire) {  // std::map: byte order of the names
    if (name != "signature") text += "&" + name + "=" + value;
  }
  return text + "&" + security;
}

std::string SignedClient::encrypt(const std::string& plain) const {
  return localcloud::crypto::aesEncryptBase64(plain, login_.security).value_or("");
}

Params SignedClient::sign(const std::string& method, const std::string& path,
                          const Params& params) const {
  Params wire;
  for (const auto& [name, value] : params) {
    wire[name] = !name.empty() && name.front() == '_' ? value : encrypt(value);
  }
  // The client signs the path without a trailing slash.
  std::string signedPath = path;
  while (signedPath.size() > 1 && signedPath.back() == '/') signedPath.pop_back();
  wire["signature"] =
      localcloud::crypto::sha1Base64(signingText(method, signedPath, wire, login_.security));
  return wire;
}

std::string SignedClient::cookie() const {
  return "userId=" + std::to_string(login_.userId) + "; serviceToken=" + login_.serviceToken;
}

CloudReply SignedClient::send(const std::string& method, const std::string& path,
                              const Params& wire, std::optional<std::string> cookie,
                              const httplib::Headers& extraHeaders) const {
  httplib::Client cli("127.0.0.1", port_);
  cli.set_read_timeout(testsupport::scaled(std::chrono::seconds(10)));
  httplib::Headers headers = extraHeaders;
  headers.emplace("Cookie", cookie.value_or(this->cookie()));
  std::string text = formText(wire);
  if (method == "GET") {
    return decode(cli.Get(text.empty() ? path : path + "?" + text, headers));
  }
  return decode(cli.Post(path, headers, text, "application/x-www-form-urlencoded; charset=utf-8"));
}

CloudReply SignedClient::postFile(const std::string& path, const Params& params,
                                  const std::string& partName, const std::string& fileName,
                                  const std::string& content) const {
  httplib::Client cli("127.0.0.1", port_);
  cli.set_read_timeout(testsupport::scaled(std::chrono::seconds(10)));
  httplib::Headers headers{{"Cookie", cookie()}};
  httplib::MultipartFormDataItems items{{partName, content, fileName, "application/octet-stream"}};
  return decode(cli.Post(path + "?" + formText(sign("POST", path, params)), headers, items));
}

CloudReply SignedClient::postUnlabelled(const std::string& path, const Params& wire) const {
  RawReply raw = rawPost(port_, path, formText(wire), cookie());
  CloudReply reply;
  reply.status = raw.status;
  reply.body = raw.body;
  reply.json = decodeBody(raw.body, &reply.encrypted);
  return reply;
}

CloudReply SignedClient::decode(const httplib::Result& result) const {
  CloudReply reply;
  if (!result) return reply;
  reply.status = result->status;
  reply.body = result->body;
  reply.headers = result->headers;
  reply.contentType = result->get_header_value("Content-Type");
  reply.json = decodeBody(reply.body, &reply.encrypted);
  return reply;
}

Json SignedClient::decodeBody(const std::string& body, bool* encrypted) const {
  Json json;
  bool decrypted = false;
  if (auto plain = localcloud::crypto::aesDecryptBase64(body, login_.security)) {
    json = Json::parse(*plain, nullptr, false);
    decrypted = !json.is_discarded();
  }
  if (!decrypted) json = Json::parse(body, nullptr, false);
  if (encrypted) *encrypted = decrypted;
  return json.is_discarded() ? Json(nullptr) : json;
}

CloudLogin CloudTest::login(std::int64_t userId, const std::string& name, const std::string& sid) {
  EXPECT_TRUE(server_->seedAccount(userId, name, "pw"));
  Device device;
  Reply page = serviceLogin(device, sid);
  Reply reply = passwordStep(device, page, name, {{"pwd", "pw"}});
  Reply token = serviceTokenStep(device, reply);
  EXPECT_EQ(token.code(), 0) << token.body;
  return CloudLogin{userId, token.cookies["serviceToken"], reply.json.value("ssecurity", "")};
}

CloudLogin CloudTest::tokenWithKey(std::int64_t userId, const std::string& sid,
                                   const std::string& security) {
  localcloud::LoginGrant grant;
  grant.userId = userId;
  grant.serviceId = sid;
  grant.ssecurity = security;
  return CloudLogin{userId, server_->store().issueServiceToken(grant), security};
}

Json CloudTest::admin(const std::string& path, const Json& body) {
  Reply reply = adminPost(path, body);
  return reply.json.is_discarded() ? Json(nullptr) : reply.json;
}

void KeyedCloudTest::SetUp() {
  CloudTest::SetUp();
  cloud_ = std::make_unique<SignedClient>(signedClient(tokenWithKey(userId_, "lumora", kTestKey)));
}

}  // namespace servertest
