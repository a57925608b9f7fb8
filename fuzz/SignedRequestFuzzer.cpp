// The signed handlers of the local cloud with fuzzed parameters: each input
// picks a route, fills its path segments, and gives parameter names (known
// ones or its own) and values (often JSON), which are encrypted and signed
// under the account's live token with the server's own crypto, then sent
// over a kept-alive loopback connection. The client's signature of the same
// request must equal the server's; every reply but a 401 must come back
// encrypted under the key as a JSON object with a "code", and no handler
// may fail by throwing.
#include <fuzzer/FuzzedDataProvider.h>
#include <httplib.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "account/QBPassportRequest.h"
#include "server/services/Crypto.h"
#include "support/Fuzz.h"
#include "support/LocalCloud.h"

namespace {

using Json = nlohmann::json;

struct Route {
  const char* method;
  const char* path;  // "{userId}" and "{id}" are filled in
  const char* serviceId;
};
constexpr Route kRoutes[] = {
    {"POST", "/lum/contact/v2/user/{userId}/full", "lumora"},
    {"POST", "/lum/contact/v2/user/{userId}/full/{id}", "lumora"},
    {"POST", "/lum/contact/v2/user/{userId}/full/{id}/delete", "lumora"},
    {"GET", "/lum/contact/v3/user/{userId}/full", "lumora"},
    {"POST", "/lum/contact/v3/user/{userId}/full/batch", "lumora"},
    {"POST", "/lum/relocation/v3/user/{userId}/record", "lumora"},
    {"POST", "/lum/file/v2/user/{userId}/full/digest", "lumora"},
    {"POST", "/lum/file/v2/user/{userId}/full", "lumora"},
    {"POST", "/lum/file/v2/user/{userId}/full/more", "lumora"},
    {"GET", "/lum/file/v2/user/{userId}/full", "lumora"},
    {"POST", "/lum/file/v3/user/{userId}/upload", "lumora"},
    {"POST", "/api/user/device/setting", "deviceinfo"},
    {"GET", "/api/user/devices/setting", "deviceinfo"},
    {"GET", "/pass/v2/safe/user/coreInfo", "passportapi"},
};
// Parameter names the handlers read.
const char* const kNames[] = {
    "content", "batchContent", "syncTag", "syncExtraInfo", "limit", "filterTag", "meta", "digest",
    "ext", "ckeyhint", "st", "devId", "type", "retry", "fileId", "data", "offset", "tmpid",
    "_hostingserver", "romCountry", "userId"};

// A path segment made of characters that every URL parser leaves alone, so
// that client and server sign the same path.
bool plainSegment(const std::string& segment) {
  if (segment.empty() || segment == "." || segment == "..") return false;
  for (unsigned char c : segment) {
    if (!std::isalnum(c) && c != '-' && c != '_' && c != '.' && c != '~') return false;
  }
  return true;
}

// Handler failures that escaped as exceptions come back as code 500 with
// the exception's text.
bool looksThrown(const std::string& description) {
  for (const char* mark : {"exception", "stoi", "stol", "stoul", "basic_string", "vector", "map::at"}) {
    if (description.find(mark) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::LocalCloud cloud;
  static std::unique_ptr<httplib::Client> client;
  static std::size_t runs = 0;
  if (++runs % 20000 == 0) {  // what the inputs stored (contacts, files) goes
    client.reset();
    cloud.renew();
  }
  if (!client) {
    client = std::make_unique<httplib::Client>("127.0.0.1", cloud.port());
    client->set_keep_alive(true);
    client->set_tcp_nodelay(true);
    client->set_read_timeout(20, 0);
  }

  FuzzedDataProvider input(data, size);
  const Route route = input.PickValueInArray(kRoutes);
  const auto& login = cloud.login(route.serviceId);
  const std::string user = input.ConsumeProbability<float>() < 0.95f
                               ? std::to_string(fuzz::LocalCloud::kUserId)
                               : input.ConsumeRandomLengthString(20);
  const std::string id = input.ConsumeRandomLengthString(24);
  std::string path = route.path;
  std::string wirePath = path;
  // Filled from the last placeholder back, at its place in the pattern: a
  // fuzzed segment may itself spell a placeholder.
  for (auto [name, value] : {std::pair<std::string, std::string>{"{id}", id}, {"{userId}", user}}) {
    if (auto at = std::string_view(route.path).find(name); at != std::string_view::npos) {
      path.replace(at, name.size(), value);
      wirePath.replace(at, name.size(), httplib::detail::encode_query_param(value));
    }
  }

  std::map<std::string, std::string> plain;
  const int count = input.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    std::string name = input.ConsumeBool() ? input.PickValueInArray(kNames) : input.ConsumeRandomLengthString(12);
    plain[name] = input.ConsumeRandomLengthString(1024);
  }
  const std::string fileBody = input.ConsumeRemainingBytesAsString();

  std::map<std::string, std::string> wire;
  for (const auto& [name, value] : plain) {
    if (name == "signature") continue;
    wire[name] = !name.empty() && name.front() == '_'
                     ? value
                     : localcloud::crypto::aesEncryptBase64(value, login.security).value();
  }
  const std::string signedPath = path.size() > 1 && path.back() == '/' ? path.substr(0, path.find_last_not_of('/') + 1) : path;
  std::string signature =
      localcloud::crypto::requestSignature(route.method, signedPath, wire, login.security).value();
  // The client signs a text only up to a NUL (as a C string), so texts
  // with one are left out of the comparison.
  bool hasNul = false;
  for (const auto& [name, value] : wire) hasNul = hasNul || (name + value).find('\0') != std::string::npos;
  if (plainSegment(user) && plainSegment(id) && !hasNul) {
    auto clientSignature = lumora::QBPassportRequest::generateSignatureWithMethod(
        std::string_view(route.method), "http://127.0.0.1" + wirePath, wire, login.security);
    FUZZ_CHECK(clientSignature == signature);
  }
  if (!wire.empty()) wire["signature"] = signature;

  // Names escaped as well as values (cpp-httplib's own query writer leaves
  // names as they are).
  std::string query;
  for (const auto& [name, value] : wire) {
    if (!query.empty()) query += '&';
    query += httplib::detail::encode_query_param(name) + "=" + httplib::detail::encode_query_param(value);
  }
  const std::string target = query.empty() ? wirePath : wirePath + "?" + query;
  httplib::Headers headers{{"Cookie", "userId=" + std::to_string(fuzz::LocalCloud::kUserId) +
                                          "; serviceToken=" + login.serviceToken}};
  const bool upload = std::string_view(route.path).ends_with("/upload");
  auto send = [&]() -> httplib::Result {
    if (std::string_view(route.method) == "GET") return client->Get(target, headers);
    if (upload) {
      // The streamed upload: parameters in the query, one file part.
      httplib::MultipartFormDataItems items{{"file", fileBody, "f.bin", "application/octet-stream"}};
      return client->Post(target, headers, items);
    }
    return client->Post(wirePath, headers, query, "application/x-www-form-urlencoded");
  };
  httplib::Result result = send();
  if (!result) {  // the server closed the kept-alive connection (as it may after a refusal)
    client.reset();
    return 0;
  }
  // Refused before the signed layer: no token, a path too long, or one that
  // no route serves (a fuzzed segment that is not one, or a line break in
  // the path, which the server's catch-all pattern does not take).
  if (result->status == 401 || result->status == 414) return 0;
  if (!cloud.server().signedEndpoints().serves(path) || path.find_first_of("\r\n") != std::string::npos) {
    return 0;
  }
  auto reply = localcloud::crypto::aesDecryptBase64(result->body, login.security);
  if (!reply) {
    std::fprintf(stderr, "%s %s: HTTP %d %s\n", route.method, target.c_str(), result->status,
                 result->body.c_str());
  }
  FUZZ_CHECK(reply.has_value());
  Json json = Json::parse(*reply, nullptr, false);
  FUZZ_CHECK(json.is_object() && json.contains("code"));
  if (json["code"] == 500) FUZZ_CHECK(!looksThrown(json.value("description", std::string())));
  if (upload) {
    std::error_code ignored;
    std::filesystem::remove_all(cloud.dataDir() / "uploads" / std::to_string(fuzz::LocalCloud::kUserId),
                                ignored);
  }
  return 0;
}
