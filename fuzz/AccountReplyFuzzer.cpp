// Replies of the account service as the logging-in session handles them,
// with no network: the input is one reply (status, head lines and body) to
// one step of a login, fed to the request's connection holder as the
// connection would feed it; plain, encrypted with the request's coder, or
// in the CA form under the exchange's key (the plain text fuzzed behind the
// encryption, or the cipher text as it came). Also the HTTP dates of reply
// heads, the core-information reply and the single sign-on URL.
//
// Requests a reply makes the session send (verification hops, the
// service-token step, the captcha image) go to an address that the
// platform refuses before connecting; replies whose texts would name a full
// URL or a user-info part are skipped, so nothing leaves the process.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "account/KPAESCoder.h"
#include "account/KPAESCrypt.h"
#include "account/KPUserCoreInfo.h"
#include "account/QBLoginPassport.h"
#include "account/QBPassportCAConnectionHolder.h"
#include "account/QBPassportRequestMemoryHolder.h"
#include "platform/JsonParse.h"
#include "platform/storage/AppHome.h"
#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/CookieStorage.h"
#include "server/services/Crypto.h"
#include "support/Fuzz.h"
#include "utils/ServiceHosts.h"

namespace {

using platform::Json;

// Base64 of the 16 bytes "0123456789abcdef".
constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";
// Plain http to a host that is not loopback: refused before any connection.
constexpr const char* kAccountBase = "http://fuzz.invalid";

struct Step {
  const char* path;
  const char* method;
};
constexpr Step kSteps[] = {
    {"/pass/serviceLoginAuth2", "POST"}, {"/pass/loginStep2", "POST"}, {"/auth/verifyPhone", "GET"},
    {"/auth/verifyPhone", "POST"},       {"/auth/service", "GET"},     {"/auth/check", "GET"},
    {"/auth/sendPhoneTicket", "POST"},   {"/sts?sid=lumora", "GET"},   {"/pass/serviceLoginAuth2CA", "POST"},
    {"/pass/serviceLogin", "GET"},       {"/pass/unknown", "GET"}};
constexpr int kStatuses[] = {200, 200, 200, 302, 400, 401, 403, 500};
const char* const kSids[] = {"passport", "lumora", ""};

void setUpOnce() {
  static const bool done = [] {
    platform::AppHome::setRoot(fuzz::scratchDirectory("account"));
    platform::Clock::setCurrent(std::make_shared<platform::ManualClock>());
    lumora::ServiceHosts::setAll(kAccountBase);
    platform::MainQueue::main().bindToCurrentThread();
    return true;
  }();
  (void)done;
}

// Whether a reply text would make the session send somewhere of its
// choosing: a string naming a full URL, or one that could smuggle a host in.
bool namesOtherHost(const Json& value) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    return text.rfind("http", 0) == 0 || text.find('@') != std::string::npos;
  }
  if (value.is_structured()) {
    for (const auto& item : value) {
      if (namesOtherHost(item)) return true;
    }
    if (value.is_object()) {
      for (const auto& [key, item] : value.items()) {
        if (namesOtherHost(Json(key))) return true;
      }
    }
  }
  return false;
}

Json parsedReply(std::string text) {
  if (text.starts_with(lumora::QBPassportURLConnectionAndDelegate::kReplyStartMarker)) {
    text.erase(0, lumora::QBPassportURLConnectionAndDelegate::kReplyStartMarker.size());
  }
  return platform::parseJson(text);
}

// Lets whatever the reply started end, then clears what it left behind.
void settle() {
  auto& main = platform::MainQueue::main();
  main.runUntil([] { return lumora::QBPassportRequestMemoryHolder::count() == 0; },
                std::chrono::milliseconds(10000));
  main.runUntilIdle();
  platform::Application::shared().resetForTesting();
  platform::http::CookieStorage::shared().deleteAllCookies();
  main.runUntilIdle();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  setUpOnce();
  FuzzedDataProvider input(data, size);
  const Step step = input.PickValueInArray(kSteps);
  const bool ca = std::string_view(step.path).ends_with("CA");
  const int form = input.ConsumeIntegralInRange<int>(0, 2);  // plain, sealed here, as it came
  const int status = input.PickValueInArray(kStatuses);
  const std::string sid = input.PickValueInArray(kSids);
  const std::string head = input.ConsumeRandomLengthString(256);
  const std::string body = input.ConsumeRemainingBytesAsString();

  // The texts of the head lines.
  (void)lumora::QBLoginPassport::dateFromString(head);

  // What the holder will read, and the body that brings it.
  std::string wire = body;
  std::optional<std::string> plain = body;
  std::shared_ptr<lumora::KPAESCoder> coder;
  if (form != 0) {
    if (ca) {
      if (form == 1) wire = localcloud::crypto::randomIvEncrypt(body, kKey).value();
      plain = lumora::AES128RandomIVDecryptWithKey(wire, kKey);
    } else {
      coder = std::make_shared<lumora::KPAESCoder>(kKey);
      if (form == 1) wire = localcloud::crypto::aesEncryptBase64(body, kKey).value();
      plain = coder->decryptString(wire);
    }
  }
  const Json reply = plain ? parsedReply(*plain) : Json();
  if (!reply.is_discarded()) {
    if (namesOtherHost(reply)) return 0;
    (void)lumora::KPUserCoreInfo::parseReply(reply);
  }
  if (head.find('@') != std::string::npos || head.find("http") != std::string::npos) return 0;

  auto passport = lumora::QBLoginPassport::create(std::string("10001"), sid, {});
  const std::string url = std::string(kAccountBase) + step.path;
  passport->setServiceTokenUrl(std::string(kAccountBase) + "/sts");
  auto request = lumora::QBPassportRequest::requestWithParams(nullptr, step.method, {}, passport, url);
  if (coder) request->setCryptCoder(coder);
  std::shared_ptr<lumora::QBPassportURLConnectionAndDelegate> holder = request->connectionAndDelegate();
  if (ca) {
    holder = std::make_shared<lumora::QBPassportCAConnectionHolder>(passport, nullptr,
                                                                   form != 0 ? std::optional<std::string>(kKey)
                                                                             : std::nullopt,
                                                                   true);
    holder->setRequest(request);
  }

  // The head: each line "Name: value" (a line without a colon is a
  // Set-Cookie value).
  platform::http::HeaderFields headers;
  for (std::size_t start = 0; start < head.size();) {
    std::size_t end = std::min(head.find('\n', start), head.size());
    std::string line = head.substr(start, end - start);
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) headers.add("Set-Cookie", line);
    else headers.add(line.substr(0, colon), std::string(platform::trimBlanks(line.substr(colon + 1))));
    start = end + 1;
  }
  platform::http::Response response(url, status, headers);
  platform::http::CookieStorage::shared().setCookiesFromResponse(response);
  holder->connectionDidReceiveResponse(response);
  // The CA holder ends the exchange on a refusing status itself.
  if (!ca || status < 400) {
    const std::size_t half = wire.size() / 2;
    holder->connectionDidReceiveData(platform::toBytes(std::string_view(wire).substr(0, half)));
    holder->connectionDidReceiveData(platform::toBytes(std::string_view(wire).substr(half)));
    holder->connectionDidFinishLoading();
  }

  if (step.path == kSteps[0].path) passport->handleOpenURL("kopassportsso://x?" + head);
  settle();
  return 0;
}
