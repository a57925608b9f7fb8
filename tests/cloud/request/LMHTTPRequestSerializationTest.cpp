#include <gtest/gtest.h>

#include "cloud/request/LMHTTPRequestSerialization.h"
#include "platform/device/Bundle.h"
#include "platform/device/Device.h"
#include "platform/storage/UserDefaults.h"
#include "platform/http/Url.h"
#include "support/TestHome.h"

namespace {

using namespace lumora;
using platform::Json;

TEST(LMHTTPRequestSerializationHeaders, AcceptLanguageStopsAtWeightOneHalf) {
  EXPECT_EQ(LMHTTPRequestSerialization::acceptLanguageForLanguages({"a", "b", "c", "d", "e", "f", "g"}),
            "a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
  EXPECT_EQ(LMHTTPRequestSerialization::acceptLanguageForLanguages({"zh-Hans", "en"}),
            "zh-Hans;q=1, en;q=0.9");
  EXPECT_EQ(LMHTTPRequestSerialization::acceptLanguageForLanguages({}), "");
}

TEST(LMHTTPRequestSerializationHeaders, UserAgentIsBuiltFromBundleAndDeviceAndKeptASCII) {
  testsupport::TestHome home;
  platform::UserDefaults::standard().setArray("AppleLanguages", Json::array({"zh-Hans", "en"}));
  platform::Bundle::setInfoValue("CFBundleDisplayName", "\xE8\x81\x94\xE7\xB3\xBB\xE4\xBA\xBA");  // 联系人
  platform::Bundle::setInfoValue("CFBundleVersion", "2.1");
  platform::DeviceFacts facts;
  facts.modelIdentifier = "iPhone7,2";
  facts.systemVersion = "9.3";
  platform::Device::configure(facts);

  std::string agent = LMHTTPRequestSerialization::defaultUserAgent();
  EXPECT_EQ(agent.rfind("lian xi ren/2.1;iPhone7,2;", 0), 0u) << agent;
  EXPECT_NE(agent.find(";iOS 9.3;zh-Hans;"), std::string::npos) << agent;
  EXPECT_EQ(agent.back(), ';');

  LMHTTPRequestSerialization serializer;
  EXPECT_EQ(serializer.valueForHTTPHeaderField("User-Agent"), agent);
  EXPECT_EQ(serializer.valueForHTTPHeaderField("Accept-Language"), "zh-Hans;q=1, en;q=0.9");

  platform::Bundle::reset();
  platform::Device::configure({});
}

TEST(LMHTTPRequestSerializationHeaders, TransliterationKeepsASCIIAndDropsWhatHasNoLatinForm) {
  EXPECT_EQ(LMHTTPRequestSerialization::asciiUserAgent("Lumora/1.0;x;"), "Lumora/1.0;x;");
  EXPECT_EQ(LMHTTPRequestSerialization::asciiUserAgent("Caf\xC3\xA9 M\xC3\xBCller"), "Cafe Muller");
  EXPECT_EQ(LMHTTPRequestSerialization::asciiUserAgent("a\xF0\x9F\x98\x80" "b"), "ab");
}

TEST(LMHTTPRequestSerializationURLs, QueryIsAppendedWithTheRightSeparator) {
  EXPECT_EQ(platform::http::urlByAppendingQuery("http://h/p", "a=1"), "http://h/p?a=1");
  EXPECT_EQ(platform::http::urlByAppendingQuery("http://h/p?x=0", "a=1"), "http://h/p?x=0&a=1");
  EXPECT_EQ(platform::http::urlByAppendingQuery("http://h/p#f", "a=1"), "http://h/p?a=1#f");
}

TEST(LMHTTPRequestSerializationRawData, UnsignedOctetStreamWithPlainQuery) {
  testsupport::TestHome home;
  LMHTTPRequestSerialization serializer;
  auto request = serializer.postDataRequestWithData(platform::toBytes("blob"), "http://kss.example/up?x=1",
                                                    Json{{"sha1", "a+b"}, {"_n", "2"}});
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, "http://kss.example/up?x=1&_n=2&sha1=a%2Bb");
  EXPECT_EQ(request.headers.value("Content-Type"), "application/octet-stream");
  EXPECT_FALSE(request.headers.contains("Cookie"));
  EXPECT_TRUE(request.headers.contains("User-Agent"));
  EXPECT_EQ(request.body, platform::toBytes("blob"));
  EXPECT_EQ(request.timeoutSeconds, 30.0);

  auto empty = serializer.postDataRequestWithData({}, "http://kss.example/up", std::nullopt);
  EXPECT_TRUE(empty.body.empty());
  EXPECT_EQ(empty.url, "http://kss.example/up");
  EXPECT_EQ(empty.headers.value("Content-Type"), "application/octet-stream");
}

}  // namespace
