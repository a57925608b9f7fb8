// Encrypted replies of the signed cloud services: the body is either taken
// as it came (Base64 cipher text from outside) or is a fuzzed plain text
// encrypted under the session's key, so the JSON behind the encryption is
// fuzzed too; status, content type and charset vary. A plain UTF-8 JSON
// object without a "code" (nested within the bound) that arrives with a
// good head reads as itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "cloud/request/LMJsonResponseSerialization.h"
#include "platform/JsonParse.h"
#include "server/services/Crypto.h"
#include "support/Fuzz.h"

namespace {

// Base64 of the 16 bytes "0123456789abcdef".
constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";
constexpr int kStatuses[] = {200, 204, 302, 401, 404, 500, 503};
const char* const kContentTypes[] = {"application/json", "application/json; charset=utf-8",
                                     "text/json; charset=\"ISO-8859-1\"", "text/html", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool encryptHere = input.ConsumeBool();
  const bool withKey = input.ConsumeProbability<float>() < 0.95f;
  const int status = input.PickValueInArray(kStatuses);
  std::string contentType = input.ConsumeBool() ? input.PickValueInArray(kContentTypes)
                                                : input.ConsumeRandomLengthString(48);
  auto serializer = lumora::LMJsonResponseSerialization::serializer();
  serializer->setRemovesKeysWithNullValues(input.ConsumeBool());
  if (input.ConsumeBool()) serializer->setReadingOptions(lumora::kLMJSONReadingAllowFragments);
  const std::string text = input.ConsumeRemainingBytesAsString();

  std::string body = text;
  if (encryptHere) body = localcloud::crypto::aesEncryptBase64(text, kKey).value();
  platform::http::HeaderFields headers;
  if (!contentType.empty()) headers.set("Content-Type", contentType);
  platform::http::Response response("http://127.0.0.1:8765/lum/x", status, headers);
  auto reply = serializer->responseObjectForResponse(
      response, platform::toBytes(body), withKey ? std::optional<std::string>(kKey) : std::nullopt);

  const bool goodHead = status == 200 && contentType.starts_with("application/json");
  // (The client reads only UTF-8; the JSON reader stops at a NUL.)
  if (encryptHere && withKey && goodHead && !serializer->removesKeysWithNullValues() &&
      platform::isValidUtf8(text)) {
    platform::Json plain = platform::parseJson(text);
    if (plain.is_object() && !plain.contains("code")) {
      FUZZ_CHECK(reply.status.ok());
      FUZZ_CHECK(reply.object && *reply.object == plain);
    }
  }
  (void)serializer->responseObjectForResponse(std::nullopt, platform::toBytes(body), kKey);
  return 0;
}
