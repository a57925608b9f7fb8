#include <gtest/gtest.h>

#include "cloud/request/LMQueryStringPair.h"
#include "cloud/request/LMStringEncoding.h"

namespace {

using namespace lumora;
using platform::Json;

TEST(LMQueryStringPair, EscapesReservedCharactersAndKeepsBracketsInNamesOnly) {
  // Base64 values carry "+", "/" and "=": all escaped.
  EXPECT_EQ(LMPercentEscapedQueryStringValueFromStringWithEncoding("a+b/c=="), "a%2Bb%2Fc%3D%3D");
  EXPECT_EQ(LMPercentEscapedQueryStringValueFromStringWithEncoding(":/?&=;+!@#$()',* %"),
            "%3A%2F%3F%26%3D%3B%2B%21%40%23%24%28%29%27%2C%2A%20%25");
  EXPECT_EQ(LMPercentEscapedQueryStringValueFromStringWithEncoding("-._~AZaz09"), "-._~AZaz09");
  EXPECT_EQ(LMPercentEscapedQueryStringValueFromStringWithEncoding("[x]"), "%5Bx%5D");
  EXPECT_EQ(LMPercentEscapedQueryStringKeyFromStringWithEncoding("list[x].y"), "list[x].y");
  // Non-ASCII text escapes its bytes in the encoding.
  EXPECT_EQ(LMPercentEscapedQueryStringValueFromStringWithEncoding("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(LMPercentEscapedQueryStringValueFromStringWithEncoding("\xC3\xA9", kLMISOLatin1StringEncoding),
            "%E9");
}

TEST(LMQueryStringPair, OrdersKeysAndNamesNestedValues) {
  Json parameters{{"b", "2"},
                  {"a", "1"},
                  {"B", "0"},
                  {"list", Json::array({"x", "y"})},
                  {"map", {{"k2", 2}, {"k1", true}}},
                  {"none", nullptr}};
  EXPECT_EQ(LMQueryStringFromParametersWithEncoding(parameters),
            "B=0&a=1&b=2&list[]=x&list[]=y&map[k1]=1&map[k2]=2&none");

  auto pairs = LMQueryStringPairsFromKeyAndValue("outer", Json{{"in", Json::array({1})}});
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].field(), "outer[in][]");
  EXPECT_EQ(pairs[0].value(), Json(1));
}

TEST(LMQueryStringPair, EmptyAndScalarInputs) {
  EXPECT_EQ(LMQueryStringFromParametersWithEncoding(Json::object()), "");
  EXPECT_TRUE(LMQueryStringPairsFromDictionary(Json("bare")).empty());
  // An empty name still yields its pair.
  EXPECT_EQ(LMQueryStringFromParametersWithEncoding(Json{{"", nullptr}, {"a", "1"}}), "&a=1");
  EXPECT_EQ(LMQueryStringValueText(Json(0.5)), "0.5");
  EXPECT_EQ(LMQueryStringValueText(Json(false)), "0");
  EXPECT_EQ(LMQueryStringValueText(Json(-12)), "-12");
}

TEST(LMStringEncoding, NamesAndStrictConversions) {
  EXPECT_EQ(LMIANACharsetName(kLMUTF8StringEncoding), "utf-8");
  EXPECT_FALSE(LMIANACharsetName(999));
  EXPECT_EQ(LMStringEncodingFromIANAName("UTF-8"), kLMUTF8StringEncoding);
  EXPECT_EQ(LMStringEncodingFromIANAName("latin1"), kLMISOLatin1StringEncoding);
  EXPECT_FALSE(LMStringEncodingFromIANAName("no-such-charset"));

  EXPECT_EQ(LMDecodeText({0xE9}, kLMISOLatin1StringEncoding), "\xC3\xA9");
  EXPECT_FALSE(LMDecodeText({0xE9}, kLMUTF8StringEncoding));
  EXPECT_FALSE(LMDecodeText({0xE9}, kLMASCIIStringEncoding));
  EXPECT_EQ(LMEncodeText("\xC3\xA9", kLMISOLatin1StringEncoding), platform::Bytes{0xE9});
  // A character the encoding lacks is refused, not replaced.
  EXPECT_FALSE(LMEncodeText("\xE4\xB8\xAD", kLMISOLatin1StringEncoding));
}

}  // namespace
