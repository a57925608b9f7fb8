// URL texts from outside (redirect locations, hand-back URLs, hosts lists):
// parsing, resolving a reference against a base, percent escapes, the query
// helpers and the account SDK's parameter reader. A parsed URL parses again
// to the same parts, and escaped text decodes to itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "account/QBPassportRequest.h"
#include "platform/http/Url.h"
#include "support/Fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace http = platform::http;
  FuzzedDataProvider input(data, size);
  const std::string reference = input.ConsumeRandomLengthString(256);
  const std::string keep = input.ConsumeRandomLengthString(8);
  const std::string text = input.ConsumeRemainingBytesAsString();

  if (auto url = http::Url::parse(text)) {
    FUZZ_CHECK(!url->host().empty() && !url->path().empty());
    (void)url->isLoopback();
    (void)url->hostIsAddress();
    auto again = http::Url::parse(url->text());
    FUZZ_CHECK(again && again->host() == url->host() && again->path() == url->path() &&
               again->port() == url->port());
  }
  if (auto resolved = http::Url::resolve(text, reference)) (void)http::Url::parse(*resolved);

  if (keep.find('%') == std::string::npos) {
    FUZZ_CHECK(http::percentDecoded(http::percentEncoded(text, keep)) == text);
  }
  if (platform::isValidUtf8(text)) {
    FUZZ_CHECK(lumora::QBPassportRequest::urlDecode(lumora::QBPassportRequest::urlEncode(text)) == text);
  }
  (void)http::percentDecoded(text);
  (void)lumora::QBPassportRequest::getParamValueFromUrl(text, reference);

  const std::string appended = http::urlByAppendingQuery(text, "k=v");
  if (text.find('#') == std::string::npos) {
    auto query = http::queryOfURLText(appended);
    FUZZ_CHECK(query && query->ends_with("k=v"));
  }
  lumora::QBPassportRequest::Params params{{reference, keep}, {"v", platform::toBytes(text)}};
  (void)lumora::QBPassportRequest::serializeURL(text, params, "GET");
  return 0;
}
