#include <gtest/gtest.h>

#include <limits>

#include "AccountTestSupport.h"
#include "account/KPCookieUtil.h"
#include "account/KPQBPreferenceUtil.h"
#include "platform/storage/UserDefaults.h"
#include "platform/http/CookieStorage.h"

namespace {

using lumora::KPCookieUtil;
using lumora::KPQBPreferenceUtil;
using platform::Json;
using platform::http::Cookie;

class PreferenceUtil : public accounttest::AccountTest {};

TEST_F(PreferenceUtil, PlainIntegers) {
  EXPECT_EQ(KPQBPreferenceUtil::longForKey("CATokenNextTime"), 0);
  KPQBPreferenceUtil::setLong(-42, "CATokenNextTime", true);
  EXPECT_EQ(KPQBPreferenceUtil::longForKey("CATokenNextTime"), -42);
  KPQBPreferenceUtil::setLong(7, "", true);
  EXPECT_EQ(KPQBPreferenceUtil::longForKey(""), 0);
}

TEST_F(PreferenceUtil, PerUserMapsKeepEachUserApart) {
  KPQBPreferenceUtil::setKey("K", Json("alpha"), "1", true);
  KPQBPreferenceUtil::setKey("K", Json("beta"), "2", false);
  EXPECT_EQ(KPQBPreferenceUtil::getKey("K", "1"), Json("alpha"));
  EXPECT_EQ(KPQBPreferenceUtil::getKey("K", "2"), Json("beta"));
  EXPECT_FALSE(KPQBPreferenceUtil::getKey("K", "3"));
  EXPECT_EQ(*platform::UserDefaults::standard().dictionaryForKey("K"), (Json{{"1", "alpha"}, {"2", "beta"}}));

  KPQBPreferenceUtil::setKey("K", std::nullopt, "1", true);
  EXPECT_FALSE(KPQBPreferenceUtil::getKey("K", "1"));
  EXPECT_EQ(KPQBPreferenceUtil::getKey("K", "2"), Json("beta"));

  // Removing the only user leaves an empty map under the key.
  KPQBPreferenceUtil::setKey("K", Json(nullptr), "2", true);
  EXPECT_EQ(platform::UserDefaults::standard().dictionaryForKey("K"), Json::object());
  EXPECT_FALSE(KPQBPreferenceUtil::getKey("K", "2"));
}

TEST_F(PreferenceUtil, SixtyFourBitValuesAndMissingEntries) {
  EXPECT_EQ(KPQBPreferenceUtil::getLongLongKey("N", "u"), 0);
  KPQBPreferenceUtil::setLongLongKey("N", std::numeric_limits<std::int64_t>::max(), "u", true);
  KPQBPreferenceUtil::setLongLongKey("N", std::numeric_limits<std::int64_t>::min(), "v", true);
  EXPECT_EQ(KPQBPreferenceUtil::getLongLongKey("N", "u"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(KPQBPreferenceUtil::getLongLongKey("N", "v"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(KPQBPreferenceUtil::getLongLongKey("N", "missing"), 0);
  // A text entry reads by its leading number, as the platform does.
  KPQBPreferenceUtil::setKey("N", Json("123abc"), "w", true);
  EXPECT_EQ(KPQBPreferenceUtil::getLongLongKey("N", "w"), 123);
}

TEST_F(PreferenceUtil, ArgumentsThatFailTheirChecksChangeNothing) {
  auto& defaults = platform::UserDefaults::standard();
  KPQBPreferenceUtil::setKey("", Json("x"), "1", true);
  KPQBPreferenceUtil::setKey("E", Json("x"), std::nullopt, true);
  KPQBPreferenceUtil::setKey("E", Json("x"), "", true);
  KPQBPreferenceUtil::setLongLongKey("E", 5, std::nullopt, true);
  EXPECT_FALSE(defaults.hasKey("E"));
  EXPECT_FALSE(defaults.hasKey(""));
  EXPECT_FALSE(KPQBPreferenceUtil::getKey("E", std::nullopt));

  // Something else under the key reads as no map and is replaced by one.
  defaults.setString("S", "plain");
  EXPECT_FALSE(KPQBPreferenceUtil::getKey("S", "1"));
  KPQBPreferenceUtil::setKey("S", Json("v"), "1", true);
  EXPECT_EQ(KPQBPreferenceUtil::getKey("S", "1"), Json("v"));

  // A value the defaults cannot hold leaves the stored map as it was.
  KPQBPreferenceUtil::setKey("S", Json("bad\xff"), "1", true);
  EXPECT_EQ(KPQBPreferenceUtil::getKey("S", "1"), Json("v"));
}

TEST_F(PreferenceUtil, ValuesReachTheDisk) {
  KPQBPreferenceUtil::setKey("Disk", Json("kept"), "9", true);
  platform::UserDefaults fromDisk(platform::UserDefaults::standardFile());
  EXPECT_EQ(fromDisk.dictionaryForKey("Disk"), (Json{{"9", "kept"}}));
}

class CookieUtil : public accounttest::AccountTest {};

TEST_F(CookieUtil, NewCookiesAreSessionCookiesForTheUrlHost) {
  auto cookie = KPCookieUtil::newHTTPCookieWithUrl("https://Account.Example.com:8443/pass/x?y=1", "userId", "42");
  ASSERT_TRUE(cookie);
  EXPECT_EQ(cookie->domain, "account.example.com");
  EXPECT_EQ(cookie->path, "/");
  EXPECT_EQ(cookie->name, "userId");
  EXPECT_EQ(cookie->value, "42");
  EXPECT_TRUE(cookie->isSessionOnly());

  EXPECT_FALSE(KPCookieUtil::newHTTPCookieWithUrl("not a url", "a", "b"));
  EXPECT_FALSE(KPCookieUtil::newHTTPCookieWithUrl("http://h/", "", "b"));
  EXPECT_FALSE(KPCookieUtil::newHTTPCookieWithUrl("http://h/", "a", "b;c"));
}

TEST_F(CookieUtil, SharedValuesAreStoredOnlyWhenWellFormed) {
  EXPECT_TRUE(KPCookieUtil::setSharedCookiesValue("t1", "passToken", ".example.com"));
  EXPECT_EQ(KPCookieUtil::getSharedCookiesValueForKey("passToken"), "t1");

  EXPECT_FALSE(KPCookieUtil::setSharedCookiesValue("", "passToken", ".example.com"));
  EXPECT_FALSE(KPCookieUtil::setSharedCookiesValue(std::nullopt, "passToken", ".example.com"));
  EXPECT_FALSE(KPCookieUtil::setSharedCookiesValue("v", "", ".example.com"));
  // A value the store refuses does not replace the stored one.
  EXPECT_FALSE(KPCookieUtil::setSharedCookiesValue("evil; Domain=other", "passToken", ".example.com"));
  EXPECT_FALSE(KPCookieUtil::setSharedCookiesValue("line\r\nbreak", "passToken", ".example.com"));
  EXPECT_EQ(KPCookieUtil::getSharedCookiesValueForKey("passToken"), "t1");
  EXPECT_EQ(KPCookieUtil::getAllSharedCookies().size(), 1u);

  EXPECT_FALSE(KPCookieUtil::getSharedCookiesValueForKey(std::nullopt));
  EXPECT_FALSE(KPCookieUtil::getSharedCookiesValueForKey(""));
  EXPECT_FALSE(KPCookieUtil::getSharedCookiesValueForKey("PassToken"));  // exact names only
}

TEST_F(CookieUtil, LookupsTakeTheFirstCookieOfTheirList) {
  ASSERT_TRUE(KPCookieUtil::setSharedCookiesValue("first", "serviceToken", "a.example.com"));
  ASSERT_TRUE(KPCookieUtil::setSharedCookiesValue("second", "serviceToken", "b.example.com"));
  EXPECT_EQ(KPCookieUtil::getSharedCookiesValueForKey("serviceToken"), "first");
  EXPECT_EQ(KPCookieUtil::getSharedCookiesValueForKey("serviceToken", "http://b.example.com/sts"), "second");
  EXPECT_FALSE(KPCookieUtil::getSharedCookiesValueForKey("serviceToken", "http://c.example.com/"));
  EXPECT_FALSE(KPCookieUtil::getSharedCookiesValueForKey("serviceToken", std::nullopt));
  EXPECT_FALSE(KPCookieUtil::getSharedCookiesValueForKey("serviceToken", "not a url"));

  std::vector<Cookie> list = KPCookieUtil::getAllSharedCookies();
  EXPECT_EQ(KPCookieUtil::getCookieForName("serviceToken", list), "first");
  EXPECT_FALSE(KPCookieUtil::getCookieForName("service", list));
  EXPECT_FALSE(KPCookieUtil::getCookieForName("x", {}));
}

TEST_F(CookieUtil, CopiesAndSaves) {
  EXPECT_FALSE(KPCookieUtil::copyCookie(std::nullopt, "v"));
  Cookie original{"ick", "1", ".example.com", "/pass", std::nullopt, true, true};
  auto copy = KPCookieUtil::copyCookie(original, "2");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->value, "2");
  EXPECT_EQ(copy->domain, ".example.com");
  EXPECT_EQ(copy->path, "/pass");
  EXPECT_TRUE(copy->secure);
  EXPECT_FALSE(KPCookieUtil::copyCookie(original, "bad;value"));

  EXPECT_TRUE(KPCookieUtil::saveSharedCookie(original));
  EXPECT_TRUE(KPCookieUtil::saveSharedCookie(*copy));  // same identity: replaces
  auto all = KPCookieUtil::getAllSharedCookies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].value, "2");
  Cookie unnamed;
  unnamed.value = "v";
  unnamed.domain = ".example.com";
  EXPECT_FALSE(KPCookieUtil::saveSharedCookie(unnamed));
  EXPECT_EQ(KPCookieUtil::getAllSharedCookies().size(), 1u);
}

}  // namespace
