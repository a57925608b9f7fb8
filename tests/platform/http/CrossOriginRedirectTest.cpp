// Redirects between two loopback servers (another port is another origin):
// what each hop carries, and which redirects are followed at all.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/http/CookieStorage.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/TestServer.h"

namespace {

using platform::http::Cookie;
using platform::http::CookieStorage;
using platform::http::Request;
using testhttp::TestServer;

struct Landing {
  std::string method;
  std::string body;
  std::vector<std::pair<std::string, std::string>> credentials;  // name, value
  std::string userAgent;
};

// Serves "/land" (records what arrives), "/redirect/<status>/<to>" (a
// redirect with that status to its own "/land" for "home", else to the
// other server's "/land" or, for "bounce", its "/bounce") and "/bounce" (a
// 302 to the other server's "/land").
class Endpoint {
 public:
  void serve(Endpoint& other) {
    auto land = [this](const httplib::Request& req, httplib::Response& res) {
      Landing landing{req.method, req.body, {}, req.get_header_value("User-Agent")};
      for (const char* name : {"Cookie", "Authorization", "X-Blackbox-API-Key"}) {
        if (req.has_header(name)) landing.credentials.emplace_back(name, req.get_header_value(name));
      }
      std::lock_guard lock(mutex_);
      landings_.push_back(std::move(landing));
      res.set_content("landed", "text/plain");
    };
    auto redirect = [&other](const httplib::Request& req, httplib::Response& res) {
      res.status = std::stoi(req.matches[1]);
      const std::string to = req.matches[2];
      res.set_header("Location", to == "home" ? "/land" : other.server.url(to == "away" ? "/land" : "/bounce"));
    };
    auto bounce = [&other](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", other.server.url("/land"));
    };
    for (const char* method : {"GET", "POST", "PUT"}) {
      auto route = [&](const std::string& pattern, const httplib::Server::Handler& handler) {
        if (std::string(method) == "GET") (*server).Get(pattern, handler);
        else if (std::string(method) == "POST") (*server).Post(pattern, handler);
        else (*server).Put(pattern, handler);
      };
      route("/land", land);
      route(R"(/redirect/(\d+)/(home|away|bounce))", redirect);
      route("/bounce", bounce);
    }
    server.start();
  }
  std::vector<Landing> landings() {
    std::lock_guard lock(mutex_);
    return landings_;
  }

  TestServer server;

 private:
  std::mutex mutex_;
  std::vector<Landing> landings_;
};

class CrossOriginRedirect : public ::testing::Test {
 protected:
  void SetUp() override {
    CookieStorage::shared().deleteAllCookies();
    home.serve(away);
    away.serve(home);
    // A cookie of the loopback host: by host alone it would go to either port.
    Cookie stored;
    stored.name = "passToken";
    stored.value = "stored-token";
    stored.domain = "127.0.0.1";
    stored.path = "/";
    ASSERT_TRUE(CookieStorage::shared().setCookie(stored));
  }
  void TearDown() override { CookieStorage::shared().deleteAllCookies(); }

  Request signedRequest(const std::string& method, const std::string& path) const {
    Request request;
    request.url = home.server.url(path);
    request.method = method;
    request.headers.set("Cookie", "userId=1; serviceToken=token");
    request.headers.set("Authorization", "key=secret");
    request.headers.set("X-Blackbox-API-Key", "api-key");
    request.headers.set("User-Agent", "lumora-test");
    if (method != "GET") request.body = platform::toBytes("user=alice&pwd=secret");
    return request;
  }

  Endpoint home;
  Endpoint away;
};

TEST_F(CrossOriginRedirect, AnotherOriginGetsNoCredentialAndNoBody) {
  struct Case {
    std::string method;
    std::string path;
    int finalStatus;                    // 200: followed; else the redirect is the reply
    std::optional<std::string> landed;  // the method that reaches the other origin
  };
  const std::vector<Case> cases = {
      {"GET", "/redirect/302/away", 200, "GET"},
      {"GET", "/redirect/307/away", 200, "GET"},
      {"POST", "/redirect/302/away", 200, "GET"},
      {"POST", "/redirect/303/away", 200, "GET"},
      {"POST", "/redirect/307/away", 307, std::nullopt},
      {"POST", "/redirect/308/away", 308, std::nullopt},
      {"PUT", "/redirect/302/away", 302, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto before = away.landings().size();
    auto reply = platform::http::sendSynchronousRequest(signedRequest(c.method, c.path));
    ASSERT_TRUE(reply.ok()) << c.method << " " << c.path;
    EXPECT_EQ(reply.response->statusCode(), c.finalStatus) << c.method << " " << c.path;
    auto landings = away.landings();
    ASSERT_EQ(landings.size() - before, c.landed ? 1u : 0u) << c.method << " " << c.path;
    if (!c.landed) continue;
    const Landing& landing = landings.back();
    EXPECT_EQ(landing.method, *c.landed) << c.path;
    EXPECT_TRUE(landing.credentials.empty()) << c.method << " " << c.path << ": " << landing.credentials[0].second;
    EXPECT_EQ(landing.body, "") << c.method << " " << c.path;
    EXPECT_EQ(landing.userAgent, "lumora-test") << c.method << " " << c.path;
  }
  EXPECT_TRUE(home.landings().empty());
}

TEST_F(CrossOriginRedirect, TheOwnOriginKeepsEverythingUntilTheRequestHasLeftIt) {
  // Within the origin: credentials, the stored cookie and a repeated body.
  auto reply = platform::http::sendSynchronousRequest(signedRequest("POST", "/redirect/307/home"));
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.response->statusCode(), 200);
  auto landings = home.landings();
  ASSERT_EQ(landings.size(), 1u);
  EXPECT_EQ(landings[0].method, "POST");
  EXPECT_EQ(landings[0].body, "user=alice&pwd=secret");
  EXPECT_EQ(landings[0].credentials.size(), 3u);
  EXPECT_EQ(landings[0].credentials[0].second, "userId=1; serviceToken=token; passToken=stored-token");

  // Back home by way of the other origin: what the other origin sent it
  // back to is not the request's own doing, so nothing is restored.
  reply = platform::http::sendSynchronousRequest(signedRequest("GET", "/redirect/302/bounce"));
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.response->statusCode(), 200);
  landings = home.landings();
  ASSERT_EQ(landings.size(), 2u);
  EXPECT_TRUE(landings[1].credentials.empty()) << landings[1].credentials[0].second;
}

}  // namespace
