#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "platform/http/CookieStorage.h"

namespace {

using namespace std::chrono_literals;
using platform::http::Cookie;
using platform::http::CookieStorage;
using platform::http::HeaderFields;
using platform::http::Response;
using platform::http::Url;

Cookie cookie(std::string name, std::string value, std::string domain, std::string path = "/") {
  Cookie c;
  c.name = std::move(name);
  c.value = std::move(value);
  c.domain = std::move(domain);
  c.path = std::move(path);
  return c;
}

std::vector<std::string> names(const std::vector<Cookie>& cookies) {
  std::vector<std::string> out;
  for (const auto& c : cookies) out.push_back(c.name);
  return out;
}

using Names = std::vector<std::string>;

TEST(CookieStorage, MatchesByDomainPathAndSecureFlag) {
  CookieStorage store;
  ASSERT_TRUE(store.setCookie(cookie("wide", "1", ".example.com")));
  ASSERT_TRUE(store.setCookie(cookie("host", "2", "api.example.com")));
  ASSERT_TRUE(store.setCookie(cookie("deep", "3", ".example.com", "/lum/contact")));
  Cookie secure = cookie("secure", "4", ".example.com");
  secure.secure = true;
  ASSERT_TRUE(store.setCookie(secure));

  EXPECT_EQ(names(store.cookiesForURL("https://example.com/")), (Names{"wide", "secure"}));
  EXPECT_EQ(names(store.cookiesForURL("https://API.example.com/lum/contact/v3")),
            (Names{"deep", "wide", "host", "secure"}));
  EXPECT_EQ(names(store.cookiesForURL("https://x.api.example.com/lum/contact")),
            (Names{"deep", "wide", "secure"}));  // a host-only cookie covers no sub-host
  EXPECT_EQ(names(store.cookiesForURL("http://api.example.com/lum/contactx")),
            (Names{"wide", "host"}));  // no path prefix match, no secure over http
  EXPECT_TRUE(store.cookiesForURL("https://badexample.com/").empty());
  EXPECT_TRUE(store.cookiesForURL("https://example.org/").empty());
  EXPECT_TRUE(store.cookiesForURL("not a url").empty());
  EXPECT_EQ(platform::http::cookieHeaderValue(store.cookiesForURL("https://api.example.com/")),
            "wide=1; host=2; secure=4");
}

TEST(CookieStorage, ReplacesSameNameDomainAndPathAndDeletes) {
  CookieStorage store;
  store.setCookie(cookie("a", "1", ".example.com"));
  store.setCookie(cookie("b", "1", ".example.com"));
  store.setCookie(cookie("a", "1", ".example.com", "/other"));
  store.setCookie(cookie("a", "2", ".EXAMPLE.com"));  // replaces the first, in place
  auto all = store.cookies();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].value, "2");
  EXPECT_EQ(all[1].name, "b");
  EXPECT_EQ(all[2].path, "/other");

  EXPECT_TRUE(store.deleteCookie(cookie("a", "", ".example.com", "/other")));
  EXPECT_FALSE(store.deleteCookie(cookie("a", "", ".example.com", "/other")));
  EXPECT_EQ(store.cookies().size(), 2u);

  // Invalid cookies are refused and leave the store as it was.
  EXPECT_FALSE(store.setCookie(cookie("", "x", ".example.com")));
  EXPECT_FALSE(store.setCookie(cookie("c", "x", "")));
  EXPECT_FALSE(store.setCookie(cookie("c", "x;y", ".example.com")));
  EXPECT_FALSE(store.setCookie(cookie("c", "x\r\nSet: y", ".example.com")));
  EXPECT_FALSE(store.setCookie(cookie("c", "x", ".example.com", "relative")));
  EXPECT_EQ(store.cookies().size(), 2u);

  store.deleteAllCookies();
  EXPECT_TRUE(store.cookies().empty());
}

TEST(CookieStorage, ExpiryFollowsThePlatformClock) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  CookieStorage store;
  HeaderFields headers;
  headers.add("Set-Cookie", "short=1; Max-Age=60");
  headers.add("Set-Cookie", "dated=1; Expires=Wed, 01 Jan 2020 01:00:00 GMT");
  headers.add("Set-Cookie", "both=1; Max-Age=10; Expires=Wed, 01 Jan 2020 05:00:00 GMT");
  headers.add("Set-Cookie", "session=1");
  headers.add("Set-Cookie", "junkage=1; Max-Age=soon");
  store.setCookiesFromResponse(Response("https://example.com/", 200, headers));
  EXPECT_EQ(store.cookies().size(), 5u);
  EXPECT_TRUE(store.cookies()[3].isSessionOnly());
  EXPECT_TRUE(store.cookies()[4].isSessionOnly());  // a bad Max-Age is ignored

  clock->advance(30s);
  EXPECT_EQ(names(store.cookies()), (Names{"short", "dated", "session", "junkage"}));
  clock->advance(1h);
  EXPECT_EQ(names(store.cookiesForURL("https://example.com/")), (Names{"session", "junkage"}));

  // An expired cookie removes the stored one and is not stored itself.
  HeaderFields removal;
  removal.add("Set-Cookie", "session=; Max-Age=0");
  removal.add("Set-Cookie", "junkage=x; Expires=Thu, 01 Jan 1970 00:00:00 GMT");
  store.setCookiesFromResponse(Response("https://example.com/", 200, removal));
  EXPECT_TRUE(store.cookies().empty());
}

TEST(CookieStorage, MalformedSetCookieFieldsAreSkippedAndTheRestKept) {
  HeaderFields headers;
  headers.add("Set-Cookie", "novalue");
  headers.add("Set-Cookie", "=orphan");
  headers.add("Set-Cookie", "ok=1; Path=/lum; HttpOnly; Secure");
  headers.add("Set-Cookie", "elsewhere=1; Domain=other.com");
  headers.add("Set-Cookie", "tld=1; Domain=com");
  headers.add("Set-Cookie", std::string("ctl=a\x01" "b"));
  headers.add("Set-Cookie", "parent=1; Domain=.Example.com");
  headers.add("Set-Cookie", "dots=1; Domain=..example.com");
  headers.add("Set-Cookie", "dir=1");
  headers.add("set-cookie", "quoted=\"a b\"; path=relative");
  auto cookies =
      platform::http::cookiesFromHeaderFields(headers, "https://www.example.com/lum/contact/v3");
  ASSERT_EQ(names(cookies), (Names{"ok", "parent", "dir", "quoted"}));
  EXPECT_EQ(cookies[0].path, "/lum");
  EXPECT_TRUE(cookies[0].secure);
  EXPECT_TRUE(cookies[0].httpOnly);
  EXPECT_EQ(cookies[0].domain, "www.example.com");
  EXPECT_EQ(cookies[1].domain, ".example.com");
  EXPECT_EQ(cookies[2].path, "/lum/contact");  // the request's directory
  EXPECT_EQ(cookies[3].value, "\"a b\"");
  EXPECT_EQ(cookies[3].path, "/lum/contact");

  // A cookie domain written as a URL (leading dot) takes domain cookies.
  HeaderFields token;
  token.add("Set-Cookie", "serviceToken=t; Domain=account.example.com; Path=/");
  auto parsed = platform::http::cookiesFromHeaderFields(token, "https://.account.example.com");
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed[0].domain, ".account.example.com");

  // An address host takes no domain cookies beyond itself.
  auto url = Url::parse("http://127.0.0.1:8080/x");
  ASSERT_TRUE(url);
  EXPECT_FALSE(platform::http::parseSetCookie("a=1; Domain=0.0.1", *url));
  auto own = platform::http::parseSetCookie("a=1; Domain=127.0.0.1", *url);
  ASSERT_TRUE(own);
  EXPECT_TRUE(own->matches(*url));
  EXPECT_FALSE(own->matches(*Url::parse("http://127.0.0.2/x")));
}

TEST(HeaderFields, LookupIgnoresCaseAndRepeatedFieldsJoin) {
  HeaderFields fields{{"Content-Type", "text/html"}, {"X-A", "1"}};
  fields.add("x-a", "2");
  EXPECT_EQ(fields.value("CONTENT-TYPE"), "text/html");
  EXPECT_EQ(fields.value("X-a"), "1, 2");
  EXPECT_EQ(fields.values("x-A"), (Names{"1", "2"}));
  fields.set("X-A", "3");
  EXPECT_EQ(fields.value("x-a"), "3");
  EXPECT_EQ(fields.size(), 2u);
  fields.add("Cookie", "a=1");
  fields.add("cookie", "b=2");
  auto wire = fields.combined();
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(wire[2], (HeaderFields::Entry{"Cookie", "a=1; b=2"}));
  fields.remove("COOKIE");
  EXPECT_FALSE(fields.contains("cookie"));
  EXPECT_FALSE(fields.value("missing"));
}

TEST(HeaderFields, ResponseReadsTypeCharsetAndLength) {
  Response response("https://h/", 200,
                    {{"content-type", " Application/JSON ; foo=bar; Charset=\"UTF-8\""},
                     {"Content-Length", "12"}});
  EXPECT_EQ(response.mimeType(), "application/json");
  EXPECT_EQ(response.textEncodingName(), "utf-8");
  EXPECT_EQ(response.expectedContentLength(), 12);
  Response bad("https://h/", 200, {{"Content-Length", "12x"}});
  EXPECT_EQ(bad.expectedContentLength(), -1);
  EXPECT_FALSE(bad.mimeType());
  EXPECT_FALSE(bad.textEncodingName());
  EXPECT_EQ(Response::localizedStringForStatusCode(404), "not found");
  EXPECT_EQ(Response::localizedStringForStatusCode(599), "server error");
}

TEST(HeaderFields, UrlKnowsTheLoopbackInterface) {
  for (const char* loopback : {"http://localhost:1/", "http://127.0.0.1/", "http://127.9.8.7/",
                               "http://[::1]:80/", "http://[::ffff:127.0.0.1]/"}) {
    auto url = Url::parse(loopback);
    ASSERT_TRUE(url) << loopback;
    EXPECT_TRUE(url->isLoopback()) << loopback;
  }
  for (const char* remote : {"http://128.0.0.1/", "http://localhost.example.com/",
                             "http://[::2]/", "http://10.0.0.1/"}) {
    auto url = Url::parse(remote);
    ASSERT_TRUE(url) << remote;
    EXPECT_FALSE(url->isLoopback()) << remote;
  }
  EXPECT_EQ(Url::resolve("http://h/a/b?q=1", "../c"), "http://h/c");
  EXPECT_EQ(Url::resolve("http://h/a/b", "https://o/x"), "https://o/x");
}

}  // namespace
