#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <iterator>
#include <utility>
#include <thread>

#include "AccountTestSupport.h"
#include "account/KPAESCoder.h"
#include "account/KPQBEnDecryptUtil.h"
#include "account/QBPassport.h"
#include "account/QBPassportRequest.h"
#include "account/QBPassportRequestMemoryHolder.h"
#include "account/QBPassportURLConnectionAndDelegate.h"
#include "platform/JsonParse.h"
#include "utils/LMErrors.h"

namespace {

using lumora::QBPassportRequest;
using lumora::QBPassportURLConnectionAndDelegate;
using platform::Json;
using Params = QBPassportRequest::Params;

// Expected signatures, computed once outside this code base:
//   printf '%s' TEXT | openssl dgst -sha1 -binary | openssl base64
struct SignatureCase {
  const char* signedText;
  const char* signature;
};
constexpr SignatureCase kPostCase{"POST&/x/y&Z=up&a=1&b=2&c=a b+/=&sEcReT==", "nJPLbM/FDROXYeFtt5eB+FmqTdo="};
constexpr SignatureCase kReloginCase{"GET&/pass/serviceLogin&_json=true&sid=lumora&k3y", "LB8nlpTD/W/uHvrjI3P2/jKDFjo="};
constexpr SignatureCase kNonceCase{"nonce=123456789&abc", "ZBk39SlQ+3MeapW/4P1R5OtX7vw="};
constexpr SignatureCase kEscapedPathCase{"GET&/a b/c&k", "DH64bw5Qr6bvJF4KV5G83VL6FJc="};

TEST(RequestSignature, KnownAnswers) {
  Params post{{"b", "2"}, {"a", "1"}, {"Z", "up"}, {"c", "a b+/="}};
  EXPECT_EQ(QBPassportRequest::generateSignatureWithMethod("post", "http://127.0.0.1:8765/x/y?q=1#f", post, "sEcReT=="),
            kPostCase.signature);
  // The text form of the parameters gives the same.
  std::map<std::string, std::string> texts{{"b", "2"}, {"a", "1"}, {"Z", "up"}, {"c", "a b+/="}};
  EXPECT_EQ(QBPassportRequest::generateSignatureWithMethod("POST", "https://h/x/y/", texts, "sEcReT=="),
            kPostCase.signature);

  Params relogin{{"sid", "lumora"}, {"_json", "true"}};
  EXPECT_EQ(QBPassportRequest::generateSignatureWithMethod("GET", "https://account.example.com/pass/serviceLogin",
                                                           relogin, "k3y"),
            kReloginCase.signature);
  // The service-token client sign: no method, no URL.
  EXPECT_EQ(QBPassportRequest::generateSignatureWithMethod(std::nullopt, std::nullopt,
                                                           Params{{"nonce", "123456789"}}, "abc"),
            kNonceCase.signature);
  EXPECT_EQ(QBPassportRequest::generateSignatureWithMethod("", "", Params{{"nonce", "123456789"}}, "abc"),
            kNonceCase.signature);
  // The path is signed as the URL object reports it: escapes replaced.
  EXPECT_EQ(QBPassportRequest::generateSignatureWithMethod("GET", "http://h/a%20b/c", Params{}, "k"),
            kEscapedPathCase.signature);
  EXPECT_EQ(QBPassportRequest::generateSignatureWithMethod("GET", "/a%20b/c?z=1", Params{}, "k"),
            kEscapedPathCase.signature);
  // Data is signed in the platform's description form, four bytes a group.
  Params data{{"d", platform::Bytes{0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0xff}}};
  EXPECT_EQ(QBPassportRequest::generateSignatureWithMethod("GET", "http://h/x", data, "k"),
            lumora::KPQBEnDecryptUtil::buildSHA1AndBase64("GET&/x&d=<0a0b0c0d 0eff>&k"));
}

class AccountRequest : public accounttest::AccountTest {};

TEST_F(AccountRequest, NoSignatureWithoutASecurityKey) {
  EXPECT_FALSE(QBPassportRequest::generateSignatureWithMethod("GET", "http://h/x", Params{{"a", "1"}}, std::nullopt));
  EXPECT_FALSE(QBPassportRequest::generateSignatureWithMethod("GET", "http://h/x", Params{{"a", "1"}}, ""));
  EXPECT_TRUE(log_->contains("security is not nullable"));

  auto params = std::make_shared<Params>(Params{{"a", "1"}});
  auto request = QBPassportRequest::requestWithParams(params, "GET", {}, nullptr, "http://h/x");
  request->cryptWithCoder(nullptr, std::nullopt);
  request->cryptWithCoder(nullptr, "");
  EXPECT_EQ(*params, (Params{{"a", "1"}}));
}

// A coder that marks what it encrypted, and gives nothing for "skip".
class MarkingCoder : public lumora::KPEnDecryptCoder {
 public:
  std::optional<std::string> encryptString(std::optional<std::string_view> text) const override {
    if (!text) return std::nullopt;
    if (*text == "skip") return std::string();
    return "enc(" + std::string(*text) + ")";
  }
  std::optional<std::string> decryptString(std::optional<std::string_view> text) const override {
    if (!text || !text->starts_with("enc(")) return std::nullopt;
    return std::string(text->substr(4, text->size() - 5));
  }
};

TEST_F(AccountRequest, EncryptsEveryTextParameterThenSignsWhatGoesOut) {
  auto params = std::make_shared<Params>(Params{
      {"_json", "true"}, {"sid", "lumora"}, {"signature", "old"}, {"skip", "skip"}, {"file", platform::Bytes{1, 2}}});
  auto request = QBPassportRequest::requestWithParams(params, "GET", {}, nullptr,
                                                      "https://account.example.com/pass/serviceLogin?x=1");
  auto coder = std::make_shared<MarkingCoder>();
  request->cryptWithCoder(coder, "key");
  EXPECT_EQ(request->cryptCoder(), coder);
  // The caller's map is the request's and was changed in place.
  EXPECT_EQ(request->params(), params);
  EXPECT_EQ(std::get<std::string>((*params)["_json"]), "enc(true)");
  EXPECT_EQ(std::get<std::string>((*params)["sid"]), "enc(lumora)");
  EXPECT_EQ(std::get<std::string>((*params)["skip"]), "skip");  // nothing came back: stays plain
  EXPECT_EQ(std::get<platform::Bytes>((*params)["file"]), (platform::Bytes{1, 2}));

  Params signedOver = *params;
  signedOver.erase("signature");
  signedOver["signature"] = "old";
  auto expected = QBPassportRequest::generateSignatureWithMethod("GET", "https://account.example.com/pass/serviceLogin",
                                                                 signedOver, "key");
  EXPECT_EQ(std::get<std::string>((*params)["signature"]), *expected);
}

TEST_F(AccountRequest, QueryAndBodyTexts) {
  Params params{{"q", "a b&c"}, {"s", "x+y/z="}, {"file", platform::Bytes{9}}};
  EXPECT_EQ(QBPassportRequest::serializeURL("http://h/p", params, "GET"), "http://h/p?q=a%20b%26c&s=x%2By%2Fz%3D");
  EXPECT_TRUE(log_->contains("can not use GET to upload a file"));
  EXPECT_EQ(QBPassportRequest::serializeURL("http://h/p?a=1", Params{{"b", "2"}}, "GET"), "http://h/p?a=1&b=2");
  EXPECT_EQ(QBPassportRequest::serializeURL("http://h/p", Params{}, "GET"), "http://h/p?");
  EXPECT_EQ(QBPassportRequest::serializeURL("http://h/p?a=1", Params{}, "GET"), "http://h/p?a=1&");

  auto post = QBPassportRequest::requestWithParams(std::make_shared<Params>(Params{{"k", "v"}}), "POST", {}, nullptr,
                                                   "http://h/p");
  EXPECT_EQ(platform::toString(post->generatePostBody()), "k=v");
  post->params()->emplace("m", "1 2");
  EXPECT_EQ(platform::toString(post->generatePostBody()), "k=v&m=1%202");
  auto none = QBPassportRequest::requestWithParams(nullptr, "POST", {}, nullptr, "http://h/p");
  EXPECT_TRUE(none->generatePostBody().empty());

  EXPECT_TRUE(QBPassportRequest::requestWithParams(nullptr, "GET", {}, nullptr, "HTTPS://h/")->isHTTPS());
  EXPECT_FALSE(QBPassportRequest::requestWithParams(nullptr, "GET", {}, nullptr, "http://h/")->isHTTPS());
  EXPECT_FALSE(QBPassportRequest::requestWithParams(nullptr, "GET", {}, nullptr, "")->isHTTPS());
}

TEST(UrlText, EscapingAndReadingParameters) {
  EXPECT_EQ(QBPassportRequest::urlEncode("Az09-_.~ !*'();:@&=+$,/?%#[]"),
            "Az09-_.~%20%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D");
  EXPECT_EQ(QBPassportRequest::urlEncode("\xc3\xa9"), "%C3%A9");
  EXPECT_EQ(QBPassportRequest::urlDecode("%C3%A9+a%20b"), "\xc3\xa9+a b");
  EXPECT_FALSE(QBPassportRequest::urlDecode("%"));
  EXPECT_FALSE(QBPassportRequest::urlDecode("abc%4"));
  EXPECT_FALSE(QBPassportRequest::urlDecode("%zz"));
  EXPECT_FALSE(QBPassportRequest::urlDecode("%FF"));  // not UTF-8

  EXPECT_FALSE(QBPassportRequest::getParamValueFromUrl("http://h/p?xa=1&a=2", "a"));
  EXPECT_EQ(QBPassportRequest::getParamValueFromUrl("http://h/p?a=1%202&b=3", "a"), "1 2");
  EXPECT_EQ(QBPassportRequest::getParamValueFromUrl("http://h/p?a=1&b=3", "b="), "3");
  EXPECT_EQ(QBPassportRequest::getParamValueFromUrl("a=x&b=y", "a"), "x");
  EXPECT_EQ(QBPassportRequest::getParamValueFromUrl("http://h/cb#token=abc&x", "token"), "abc");
  EXPECT_EQ(QBPassportRequest::getParamValueFromUrl("http://h/p?a=", "a"), "");
  EXPECT_FALSE(QBPassportRequest::getParamValueFromUrl("http://h/p?b=1", "a"));
  EXPECT_FALSE(QBPassportRequest::getParamValueFromUrl("http://h/p?a=%G1", "a"));
}

// A delegate that records what it hears; which hooks it answers is chosen.
class Recorder : public lumora::QBPassportRequestDelegate {
 public:
  explicit Recorder(bool parse = true) {
    requestDidLoadRawResponse = [this](const RequestPtr&, const platform::Bytes& data) {
      raw.push_back(platform::toString(data));
    };
    if (!parse) return;
    requestDidLoad = [this](const RequestPtr&, const Json& reply) { loads.push_back(reply); };
    requestDidFailWithError = [this](const RequestPtr&, const platform::Error& error) { errors.push_back(error); };
  }
  std::vector<std::string> raw;
  std::vector<Json> loads;
  std::vector<platform::Error> errors;
};

class ReplyHandling : public accounttest::AccountTest {
 protected:
  // Feeds one reply through a holder as the connection would.
  void deliver(const std::string& body, int status = 200, std::shared_ptr<lumora::KPEnDecryptCoder> coder = nullptr) {
    auto holder = QBPassportURLConnectionAndDelegate::initWithDelegate(recorder);
    auto request = QBPassportRequest::initWithWithParams(nullptr, "GET", {}, holder, "http://h/pass/serviceLogin", {});
    request->setCryptCoder(std::move(coder));
    holder->connectionDidReceiveResponse(platform::http::Response("http://h/pass/serviceLogin", status, {}));
    holder->connectionDidReceiveData(platform::toBytes(body.substr(0, body.size() / 2)));
    holder->connectionDidReceiveData(platform::toBytes(body.substr(body.size() / 2)));
    holder->connectionDidFinishLoading();
    EXPECT_TRUE(holder->responseData().empty());
  }
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST_F(ReplyHandling, MarkedAndPlainJsonObjects) {
  deliver("&&&START&&&{\"code\":0,\"data\":{\"k\":1}}");
  deliver("{\"userId\":10001}");
  ASSERT_EQ(recorder->loads.size(), 2u);
  EXPECT_EQ(recorder->loads[0], (Json{{"code", 0}, {"data", {{"k", 1}}}}));
  EXPECT_EQ(recorder->loads[1], (Json{{"userId", 10001}}));
  EXPECT_TRUE(recorder->errors.empty());
  EXPECT_EQ(recorder->raw.size(), 2u);
}

TEST_F(ReplyHandling, NonZeroCodeIsAnErrorWithTheWholeReply) {
  deliver("&&&START&&&{\"code\":70016,\"qs\":\"%3Fsid\",\"_sign\":\"s\"}");
  deliver("{\"code\":\"87001\",\"captchaUrl\":\"/pass/getCode\"}");
  deliver("{\"code\":\"0\"}");
  ASSERT_EQ(recorder->errors.size(), 2u);
  EXPECT_EQ(recorder->errors[0].domain(), "QBPassportErrorDomain");
  EXPECT_EQ(recorder->errors[0].code(), 70016);
  EXPECT_EQ(recorder->errors[0].userInfo(), (Json{{"code", 70016}, {"qs", "%3Fsid"}, {"_sign", "s"}}));
  EXPECT_EQ(recorder->errors[1].code(), 87001);
  ASSERT_EQ(recorder->loads.size(), 1u);
  EXPECT_EQ(recorder->loads[0], (Json{{"code", "0"}}));
}

TEST_F(ReplyHandling, CodesBeyondThirtyTwoBitsStayFailures) {
  // Held to the 32-bit range, never wrapped or cut to 0 (a success).
  const std::pair<const char*, std::int64_t> cases[] = {
      {"3.18e20", INT32_MAX},           {"-3.18e20", INT32_MIN},
      {"4294967296", INT32_MAX},        {"18446744073709551615", INT32_MAX},
      {"\"99999999999999999999\"", INT32_MAX}, {"-1e300", INT32_MIN},
  };
  for (const auto& [code, expected] : cases) deliver(std::string("{\"code\":") + code + "}");
  EXPECT_TRUE(recorder->loads.empty());
  ASSERT_EQ(recorder->errors.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(recorder->errors[i].code(), cases[i].second) << cases[i].first;
  }
}

TEST_F(ReplyHandling, TextThatIsNoObjectArrivesAsText) {
  deliver("not json");
  deliver("");
  deliver("[1,2]");
  deliver("{}");
  deliver("&&&START&&&");
  deliver(std::string("\xff\xfe", 2));
  ASSERT_EQ(recorder->loads.size(), 6u);
  EXPECT_EQ(recorder->loads[0], Json("not json"));
  EXPECT_EQ(recorder->loads[1], Json(""));
  EXPECT_EQ(recorder->loads[2], Json("[1,2]"));
  EXPECT_EQ(recorder->loads[3], Json("{}"));
  EXPECT_EQ(recorder->loads[4], Json(""));
  EXPECT_EQ(recorder->loads[5], Json::binary({0xff, 0xfe}));
  EXPECT_TRUE(recorder->errors.empty());
}

TEST_F(ReplyHandling, TheMarkerCountsOnlyAtTheStart) {
  deliver("{\"code\":0,\"note\":\"a&&&START&&&b\"}");
  deliver("abc&&&START&&&{\"code\":0}");
  deliver(" &&&START&&&{\"code\":5}");
  ASSERT_EQ(recorder->loads.size(), 3u);
  EXPECT_EQ(recorder->loads[0], (Json{{"code", 0}, {"note", "a&&&START&&&b"}}));
  EXPECT_EQ(recorder->loads[1], Json("abc&&&START&&&{\"code\":0}"));
  EXPECT_EQ(recorder->loads[2], Json(" &&&START&&&{\"code\":5}"));
}

TEST_F(ReplyHandling, HttpFailureStatusesAreErrors) {
  deliver("&&&START&&&{\"code\":0,\"desc\":\"fine\"}", 503);
  deliver("forbidden", 403);
  deliver("&&&START&&&{\"code\":70016}", 400);
  deliver("{\"code\":0}", 399);
  ASSERT_EQ(recorder->errors.size(), 3u);
  EXPECT_EQ(recorder->errors[0].code(), 503);
  EXPECT_EQ(recorder->errors[0].domain(), "QBPassportErrorDomain");
  EXPECT_EQ(recorder->errors[0].userInfo(), (Json{{"code", 0}, {"desc", "fine"}}));
  EXPECT_EQ(recorder->errors[1].code(), 403);
  EXPECT_TRUE(recorder->errors[1].userInfo().is_null());
  EXPECT_EQ(recorder->errors[2].code(), 400);
  EXPECT_EQ(recorder->errors[2].userInfo(), (Json{{"code", 70016}}));
  EXPECT_EQ(recorder->loads.size(), 1u);
}

TEST_F(ReplyHandling, EncryptedRepliesAreDecryptedFirst) {
  auto coder = std::make_shared<lumora::KPAESCoder>("MDEyMzQ1Njc4OWFiY2RlZg==");
  auto sealed = coder->encryptString("&&&START&&&{\"code\":0,\"data\":\"secret\"}");
  ASSERT_TRUE(sealed);
  deliver(*sealed, 200, coder);
  deliver("garbage that does not decrypt", 200, coder);
  ASSERT_EQ(recorder->loads.size(), 2u);
  EXPECT_EQ(recorder->loads[0], (Json{{"code", 0}, {"data", "secret"}}));
  // Nothing came out of the coder: the body bytes themselves.
  EXPECT_TRUE(recorder->loads[1].is_string() || recorder->loads[1].is_binary());
}

TEST_F(ReplyHandling, RepliesNestedPastTheBoundAreMalformed) {
  auto nested = [](std::size_t depth, const std::string& open, const std::string& close) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
  };
  const std::size_t deep = 1000000;
  deliver("{\"code\":0,\"d\":" + nested(deep, "{\"a\":", "}").insert(deep * 5, "1") + "}");
  deliver("&&&START&&&" + nested(deep, "[", "]"), 503);
  // Brackets inside texts are no nesting; the bound itself is fine.
  deliver("{\"code\":0,\"t\":\"" + nested(deep, "[", "") + "\"}");
  deliver("{\"code\":0,\"d\":" + nested(platform::kMaxJsonDepth - 1, "[", "]") + "}");
  ASSERT_EQ(recorder->errors.size(), 2u);
  EXPECT_EQ(recorder->errors[0].code(), lumora::kLMJSONErrorCode);
  EXPECT_EQ(recorder->errors[1].code(), 503);
  ASSERT_EQ(recorder->loads.size(), 2u);
  EXPECT_TRUE(recorder->loads[0].is_object());
  EXPECT_TRUE(recorder->loads[1].is_object());
}

TEST_F(ReplyHandling, ADelegateThatOnlyWantsRawBytesGetsNothingElse) {
  recorder = std::make_shared<Recorder>(false);
  deliver("&&&START&&&{\"code\":70016}", 500);
  EXPECT_EQ(recorder->raw, (std::vector<std::string>{"&&&START&&&{\"code\":70016}"}));
  EXPECT_TRUE(recorder->loads.empty());
  EXPECT_TRUE(recorder->errors.empty());
}

TEST_F(ReplyHandling, TransportFailuresPassUnchanged) {
  auto holder = QBPassportURLConnectionAndDelegate::initWithDelegate(recorder);
  auto request = QBPassportRequest::initWithWithParams(nullptr, "GET", {}, holder, "http://h/x", {});
  platform::Error timeout("NSURLErrorDomain", -1001, Json{{"NSLocalizedDescription", "The request timed out."}});
  holder->connectionDidFailWithError(timeout);
  ASSERT_EQ(recorder->errors.size(), 1u);
  EXPECT_EQ(recorder->errors[0], timeout);
}

TEST(KeepAliveRegistry, ManyThreadsAddAndRemoveAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  std::atomic<int> seen{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        auto request = QBPassportRequest::requestWithParams(nullptr, "GET", {}, nullptr, "http://h/");
        lumora::QBPassportRequestMemoryHolder::addQBPassportRequest(request);
        auto ca = std::make_shared<int>(i);
        lumora::QBPassportRequestMemoryHolder::addQBPassportCARequest(ca);
        if (lumora::QBPassportRequestMemoryHolder::contains(request)) ++seen;
        lumora::QBPassportRequestMemoryHolder::removeQBPassportRequest(request);
        lumora::QBPassportRequestMemoryHolder::removeQBPassportCARequest(ca);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen.load(), kThreads * kRounds);
  EXPECT_EQ(lumora::QBPassportRequestMemoryHolder::count(), 0u);
  lumora::QBPassportRequestMemoryHolder::addQBPassportRequest(nullptr);
  lumora::QBPassportRequestMemoryHolder::removeQBPassportCARequest(nullptr);
  EXPECT_TRUE(lumora::QBPassportRequestMemoryHolder::sharedRequestSet().empty());
}

TEST(KeepAliveRegistry, ARegisteredRequestOutlivesItsCaller) {
  std::weak_ptr<QBPassportRequest> weak;
  {
    auto request = QBPassportRequest::requestWithParams(nullptr, "GET", {}, nullptr, "http://h/");
    weak = request;
    lumora::QBPassportRequestMemoryHolder::addQBPassportRequest(request);
  }
  auto alive = weak.lock();
  ASSERT_TRUE(alive);
  lumora::QBPassportRequestMemoryHolder::removeQBPassportRequest(alive);
  alive.reset();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
