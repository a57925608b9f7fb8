// Replies nested to any depth, up to a million levels, in every reader of
// cloud replies: an account reply, a signed service reply (plain text
// encrypted under the session's key) and a record text read from a reply.
// The input picks the depth, the brackets and keys of each level (texts
// holding brackets and escapes too) and what sits at the bottom. A reply
// nested past the bound is an error in every reader; within it, what the
// readers take is the JSON itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "account/QBPassportURLConnectionAndDelegate.h"
#include "cloud/request/LMJsonResponseSerialization.h"
#include "platform/JsonParse.h"
#include "server/services/Crypto.h"
#include "support/Fuzz.h"
#include "utils/LMUtils.h"

namespace {

// Base64 of the 16 bytes "0123456789abcdef".
constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";
const char* const kKeys[] = {"\"a\":", "\"[{\":", "\"\\\"{\":", "\"code\":"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t depth = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::size_t>(0, 1000000)
                                                : input.ConsumeIntegralInRange<std::size_t>(0, 2 * platform::kMaxJsonDepth);
  const std::uint8_t shape = input.ConsumeIntegral<std::uint8_t>();
  const std::string bottom = input.ConsumeRemainingBytesAsString();

  // Level i is an object when bit (i % 8) of the shape is set, else an array.
  std::string text = "{\"code\":0,\"d\":";
  for (std::size_t i = 0; i < depth; ++i) {
    text += (shape >> (i % 8)) & 1 ? std::string("{") + kKeys[(i / 8) % std::size(kKeys)] : "[";
  }
  text += bottom;
  for (std::size_t i = depth; i > 0; --i) text += (shape >> ((i - 1) % 8)) & 1 ? '}' : ']';
  text += '}';
  const bool tooDeep = platform::jsonNestsDeeperThan(text);

  auto holder = lumora::QBPassportURLConnectionAndDelegate::initWithDelegate(nullptr);
  auto account = holder->parseJsonResponse(platform::toBytes(text));
  // (A body that is no UTF-8 text is handed on as bytes, with no error.)
  if (tooDeep) FUZZ_CHECK(!account.ok() || (!*account && !platform::isValidUtf8(text)));

  auto serializer = lumora::LMJsonResponseSerialization::serializer();
  platform::http::HeaderFields headers;
  headers.set("Content-Type", "application/json");
  platform::http::Response response("http://127.0.0.1:8765/lum/x", 200, headers);
  const std::string sealed = localcloud::crypto::aesEncryptBase64(text, kKey).value();
  auto reply = serializer->responseObjectForResponse(response, platform::toBytes(sealed), std::string(kKey));
  if (tooDeep) FUZZ_CHECK(!reply.object && !reply.status.ok());

  auto record = lumora::LMUtils::jsonObjectFromString(platform::Json(text));
  if (tooDeep) FUZZ_CHECK(!record);
  if (reply.object && record) FUZZ_CHECK(*reply.object == *record);
  return 0;
}
