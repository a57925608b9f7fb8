#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/http/CookieStorage.h"
#include "platform/http/PhoneNetwork.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/UrlError.h"
#include "platform/http/TestServer.h"
#include "support/Sanitizers.h"

namespace {

using platform::toBytes;
using platform::toString;
using platform::http::CookieStorage;
using platform::http::Request;
using platform::http::sendSynchronousRequest;
using testhttp::TestServer;

Request get(const std::string& url) {
  Request request;
  request.url = url;
  return request;
}

std::string failingUrl(const platform::Error& error) {
  return error.userInfo().value(platform::http::kFailingURLStringKey, "");
}

// A loopback port on which nothing listens.
int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class SynchronousRequest : public ::testing::Test {
 protected:
  void SetUp() override { CookieStorage::shared().deleteAllCookies(); }
  void TearDown() override { CookieStorage::shared().deleteAllCookies(); }
  TestServer server;
};

TEST_F(SynchronousRequest, GetAndPostCarryHeadersAndBodyBothWays) {
  server->Get("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Seen", req.get_header_value("X-Custom"));
    res.set_header("X-Multi", "one");
    res.headers.emplace("X-Multi", "two");
    res.set_content("{\"ok\":1}", "application/json; charset=\"UTF-8\"");
  });
  server->Post("/post", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.method + "|" + req.get_header_value("Content-Type") + "|" + req.body,
                    "text/plain");
  });
  server.start();

  Request request = get(server.url("/echo"));
  request.headers.set("X-Custom", "hello");
  auto reply = sendSynchronousRequest(request);
  ASSERT_TRUE(reply.ok()) << reply.error->description();
  ASSERT_TRUE(reply.response);
  EXPECT_EQ(reply.response->statusCode(), 200);
  EXPECT_EQ(reply.response->url(), server.url("/echo"));
  EXPECT_EQ(reply.response->valueForHeaderField("x-seen"), "hello");
  EXPECT_EQ(reply.response->valueForHeaderField("X-MULTI"), "one, two");
  EXPECT_EQ(reply.response->mimeType(), "application/json");
  EXPECT_EQ(reply.response->textEncodingName(), "utf-8");
  EXPECT_EQ(reply.response->expectedContentLength(), 8);
  EXPECT_EQ(toString(reply.data), "{\"ok\":1}");

  Request post = get(server.url("/post"));
  post.method = "POST";
  post.body = toBytes("a=1&b=two");
  reply = sendSynchronousRequest(post);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(toString(reply.data), "POST|application/x-www-form-urlencoded|a=1&b=two");

  post.headers.set("Content-Type", "application/octet-stream");
  post.body = platform::Bytes(2 << 20, 0x5A);  // past the size where libcurl would send Expect
  reply = sendSynchronousRequest(post);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.data.size(), std::string("POST|application/octet-stream|").size() + (2 << 20));
}

TEST_F(SynchronousRequest, ErrorStatusesAreResponsesNotFailures) {
  server->Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("nothing here", "text/plain");
  });
  server->Get("/broken", [](const httplib::Request&, httplib::Response& res) {
    res.status = 503;
    res.set_content("{\"code\":503}", "application/json");
  });
  server->Get("/challenge", [](const httplib::Request&, httplib::Response& res) {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"cloud\"");
    res.set_content("expired", "text/plain");
  });
  server->Get("/refused", [](const httplib::Request&, httplib::Response& res) {
    res.status = 401;
    res.set_content("no", "text/plain");
  });
  server.start();

  auto reply = sendSynchronousRequest(get(server.url("/missing")));
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.response->statusCode(), 404);
  EXPECT_EQ(toString(reply.data), "nothing here");

  reply = sendSynchronousRequest(get(server.url("/broken")));
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.response->statusCode(), 503);
  EXPECT_EQ(toString(reply.data), "{\"code\":503}");

  // A challenge nobody can answer is the platform's -1012; a bare 401 is not.
  reply = sendSynchronousRequest(get(server.url("/challenge")));
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->domain(), "NSURLErrorDomain");
  EXPECT_EQ(reply.error->code(), -1012);
  EXPECT_EQ(reply.response->statusCode(), 401);
  reply = sendSynchronousRequest(get(server.url("/refused")));
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.response->statusCode(), 401);
}

TEST_F(SynchronousRequest, TransportFailuresCarryPlatformCodesAndTheFailingUrl) {
  auto url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/x";
  auto reply = sendSynchronousRequest(get(url));
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->domain(), "NSURLErrorDomain");
  EXPECT_EQ(reply.error->code(), -1004);
  EXPECT_EQ(failingUrl(*reply.error), url);
  EXPECT_FALSE(reply.response);

  // Plain http leaves the machine never; nothing is sent.
  reply = sendSynchronousRequest(get("http://cloud.example.com/api"));
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->code(), -1022);
  EXPECT_EQ(failingUrl(*reply.error), "http://cloud.example.com/api");
  EXPECT_EQ(sendSynchronousRequest(get("http://10.0.0.1/")).error->code(), -1022);

  EXPECT_EQ(sendSynchronousRequest(get("ftp://127.0.0.1/file")).error->code(), -1002);
  EXPECT_EQ(sendSynchronousRequest(get("not a url")).error->code(), -1000);
  EXPECT_EQ(sendSynchronousRequest(get("")).error->code(), -1000);
  Request smuggled = get(url);
  smuggled.method = "GET / HTTP/1.1\r\nX:";
  EXPECT_EQ(sendSynchronousRequest(smuggled).error->code(), -1);
}

TEST_F(SynchronousRequest, WithoutANetworkEveryRequestFailsNotConnectedThoseUnderWayToo) {
  using platform::http::PhoneNetwork;
  std::atomic<int> reached{0};
  server->Get("/held", [&](const httplib::Request&, httplib::Response& res) {
    ++reached;
    server.gate().wait();
    res.set_content("late", "text/plain");
  });
  server->Get("/x", [&](const httplib::Request&, httplib::Response& res) {
    ++reached;
    res.set_content("ok", "text/plain");
  });
  server.start();
  struct Reconnect {
    ~Reconnect() { PhoneNetwork::setConnected(true); }
  } reconnect;

  // Under way when the network goes: it stops at once.
  platform::http::SynchronousReply held;
  std::thread sender([&] { held = sendSynchronousRequest(get(server.url("/held"))); });
  const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(10));
  while (reached == 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  PhoneNetwork::setConnected(false);
  sender.join();
  server.gate().open();
  ASSERT_FALSE(held.ok());
  EXPECT_EQ(held.error->code(), -1009);
  EXPECT_EQ(failingUrl(*held.error), server.url("/held"));

  // A new one fails before anything is sent.
  auto reply = sendSynchronousRequest(get(server.url("/x")));
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->code(), -1009);
  EXPECT_EQ(reached, 1);

  PhoneNetwork::setConnected(true);
  reply = sendSynchronousRequest(get(server.url("/x")));
  ASSERT_TRUE(reply.ok()) << reply.error->description();
  EXPECT_EQ(toString(reply.data), "ok");
}

TEST_F(SynchronousRequest, IdleTimeoutEndsARequestTheServerSitsOn) {
  std::mutex mutex;
  std::condition_variable changed;
  bool handlerReached = false;
  server->Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      handlerReached = true;
      changed.notify_all();
    }
    server.gate().wait();
    res.set_content("late", "text/plain");
  });
  server.start();

  Request request = get(server.url("/slow"));
  request.timeoutSeconds = 0.3;
  auto started = std::chrono::steady_clock::now();
  auto reply = sendSynchronousRequest(request);
  auto took = std::chrono::steady_clock::now() - started;
  {
    // On a busy machine the server may read the request only after the
    // client gave up on it: the handler is waited for, not assumed.
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, testsupport::scaled(std::chrono::seconds(10)), [&] { return handlerReached; }));
  }
  server.gate().open();

  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->code(), -1001);
  EXPECT_EQ(failingUrl(*reply.error), server.url("/slow"));
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, testsupport::scaled(std::chrono::seconds(5)));
}

TEST_F(SynchronousRequest, RedirectsAreFollowedUnlessTheRequestSaysNot) {
  server->Post("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/landing");
    res.set_content("moved body", "text/plain");
  });
  server->Post("/kept", [](const httplib::Request&, httplib::Response& res) {
    res.status = 307;
    res.set_header("Location", "/landing");
  });
  server->Get("/relocated", [](const httplib::Request&, httplib::Response& res) {
    res.status = 308;
    res.set_header("Location", "/landing");
    res.set_content("{\"code\":308}", "application/json");
  });
  auto landing = [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.method + ":" + req.body, "text/plain");
  };
  server->Get("/landing", landing);
  server->Post("/landing", landing);
  server->Get("/loop", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/loop");
  });
  server.start();

  Request post = get(server.url("/moved"));
  post.method = "POST";
  post.body = toBytes("k=v");
  auto reply = sendSynchronousRequest(post);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.response->url(), server.url("/landing"));
  EXPECT_EQ(toString(reply.data), "GET:");  // 302 turns a POST into a GET

  post.url = server.url("/kept");
  reply = sendSynchronousRequest(post);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(toString(reply.data), "POST:k=v");

  Request own = get(server.url("/relocated"));
  own.followRedirects = false;
  reply = sendSynchronousRequest(own);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.response->statusCode(), 308);
  EXPECT_EQ(reply.response->url(), server.url("/relocated"));
  EXPECT_EQ(reply.response->valueForHeaderField("Location"), "/landing");
  EXPECT_EQ(toString(reply.data), "{\"code\":308}");

  reply = sendSynchronousRequest(get(server.url("/loop")));
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->code(), -1007);
}

// A body made as it is read: byte i is i % 251. `failAt` makes the read at
// that offset fail, `endAt` ends the stream early, `onRead` sees each offset.
struct GeneratedBody {
  std::uint64_t length = 0;
  std::uint64_t failAt = UINT64_MAX;
  std::uint64_t endAt = UINT64_MAX;
  std::function<void(std::uint64_t)> onRead;
  std::shared_ptr<std::atomic<int>> opens = std::make_shared<std::atomic<int>>(0);

  platform::http::BodySource source() const {
    struct Stream final : platform::http::BodyStream {
      GeneratedBody body;
      std::uint64_t offset = 0;
      platform::Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
        if (offset >= body.failAt) return platform::Error("test.body", 5);
        if (offset >= body.endAt) return std::size_t{0};
        if (body.onRead) body.onRead(offset);
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, body.length - offset));
        for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<std::uint8_t>((offset + i) % 251);
        offset += n;
        return n;
      }
    };
    GeneratedBody copy = *this;
    return {length, [copy] {
              ++*copy.opens;
              auto stream = std::make_unique<Stream>();
              stream->body = copy;
              return stream;
            }};
  }
};

TEST_F(SynchronousRequest, StreamedBodiesAreReadAsTheyGoAndFailOrCancelCleanly) {
  auto check = [](const httplib::Request& req, httplib::Response& res) {
    bool intact = true;
    for (std::size_t i = 0; i < req.body.size(); ++i) {
      intact = intact && static_cast<std::uint8_t>(req.body[i]) == i % 251;
    }
    res.set_content(std::to_string(req.body.size()) + (intact ? " intact" : " garbled"), "text/plain");
  };
  server->Post("/sink", check);
  server->Post("/kept", [](const httplib::Request&, httplib::Response& res) {
    res.status = 307;
    res.set_header("Location", "/sink");
  });
  server.start();

  GeneratedBody body;
  body.length = 3 * 1024 * 1024 + 7;
  Request post = get(server.url("/kept"));
  post.method = "POST";
  post.headers.set("Content-Type", "application/octet-stream");
  post.bodySource = body.source();
  std::int64_t sent = 0, expected = 0, received = 0, announced = 0;
  platform::http::SendControl control;
  control.didSendBodyData = [&](std::int64_t, std::int64_t total, std::int64_t length) {
    sent = total;
    expected = length;
  };
  control.didReceiveData = [&](std::int64_t, std::int64_t total, std::int64_t length) {
    received = total;
    announced = length;
  };
  auto reply = sendSynchronousRequest(post, control);
  ASSERT_TRUE(reply.ok()) << reply.error->description();
  EXPECT_EQ(toString(reply.data), std::to_string(body.length) + " intact");
  EXPECT_EQ(*body.opens, 2);  // the redirect that keeps the body reads it again
  EXPECT_EQ(sent, static_cast<std::int64_t>(body.length));
  EXPECT_EQ(expected, static_cast<std::int64_t>(body.length));
  EXPECT_EQ(received, static_cast<std::int64_t>(reply.data.size()));
  EXPECT_EQ(announced, received);

  // A stream that fails, or ends before its length, fails the send.
  post.url = server.url("/sink");
  GeneratedBody failing = body;
  failing.failAt = 1024 * 1024;
  post.bodySource = failing.source();
  reply = sendSynchronousRequest(post);
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->domain(), "test.body");
  GeneratedBody shortBody = body;
  shortBody.endAt = 1024 * 1024;
  post.bodySource = shortBody.source();
  reply = sendSynchronousRequest(post);
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->code(), platform::http::kUrlErrorRequestBodyStreamExhausted);

  // Cancelled half-way from elsewhere: -999, and the rest is never read.
  std::atomic<bool> cancelled{false};
  std::atomic<std::uint64_t> lastRead{0};
  GeneratedBody cancelling = body;
  cancelling.onRead = [&](std::uint64_t offset) {
    lastRead = offset;
    if (offset >= body.length / 2) cancelled = true;
  };
  post.bodySource = cancelling.source();
  control.cancelled = &cancelled;
  reply = sendSynchronousRequest(post, control);
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->code(), platform::http::kUrlErrorCancelled);
  EXPECT_LT(lastRead.load(), body.length / 2 + 1024 * 1024);
}

// Requests one after another on the same kept-alive connection (so on the
// same pooled handle) each go out with their own method, body and headers
// only, never with what the one before them set.
TEST_F(SynchronousRequest, APooledHandleCarriesOnlyEachRequestsOwnMethodBodyAndHeaders) {
  std::mutex mutex;
  std::vector<std::string> seen;
  std::set<int> ports;
  auto record = [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> guard(mutex);
    seen.push_back(req.method + "|" + req.body + "|" + req.get_header_value("X-A") + "|" +
                   req.get_header_value("Expect"));
    ports.insert(req.remote_port);
    res.set_content("ok", "text/plain");
  };
  server->Get("/any", record);
  server->Post("/any", record);
  server->Put("/any", record);
  server->Delete("/any", record);
  server->Patch("/any", record);
  server.start();

  GeneratedBody streamed;
  streamed.length = 3;
  struct Case {
    const char* method;
    const char* body;
    const char* header;  // X-A, when given
    bool stream;
    std::string expected;
  };
  const Case cases[] = {
      {"POST", "one", "a", false, "POST|one|a|"},
      {"GET", "", nullptr, false, "GET|||"},
      {"DELETE", "", nullptr, false, "DELETE|||"},
      {"PUT", "two", "b", false, "PUT|two|b|"},
      {"HEAD", "", nullptr, false, "HEAD|||"},
      {"PATCH", "", nullptr, true, std::string("PATCH|\x00\x01\x02||", 11)},
      {"POST", "", nullptr, false, "POST|||"},
      {"GET", "", "c", false, "GET||c|"},
  };
  for (const auto& c : cases) {
    Request request = get(server.url("/any"));
    request.method = c.method;
    request.body = toBytes(c.body);
    if (c.header) request.headers.set("X-A", c.header);
    if (c.stream) request.bodySource = streamed.source();
    auto reply = sendSynchronousRequest(request);
    ASSERT_TRUE(reply.ok()) << c.method << ": " << reply.error->description();
    EXPECT_EQ(reply.response->statusCode(), 200) << c.method;
  }
  std::lock_guard<std::mutex> guard(mutex);
  ASSERT_EQ(seen.size(), std::size(cases));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i], cases[i].expected) << i;
  }
  EXPECT_EQ(ports.size(), 1u);  // one connection carried them all
}

// What goes on the wire: one line per name with repeated values joined, a
// field that would break the request left out, and
// stored cookies added to the request's own Cookie line unless it names them.
TEST_F(SynchronousRequest, HeadersGoOneLinePerNameWithStoredCookiesJoined) {
  server->Get("/headers", [](const httplib::Request& req, httplib::Response& res) {
    std::string seen = req.get_header_value("X-Dup") + "|" + req.get_header_value("Cookie") + "|" +
                       (req.has_header("X-Bad") || req.has_header("Injected") ? "bad" : "");
    res.set_content(seen, "text/plain");
  });
  server.start();
  platform::http::Cookie stored;
  stored.name = "session";
  stored.value = "abc";
  stored.domain = "127.0.0.1";
  ASSERT_TRUE(CookieStorage::shared().setCookie(stored));

  struct Case {
    const char* ownCookie;  // the request's Cookie field, when given
    const char* expected;
  };
  const Case cases[] = {
      {nullptr, "1, 2|session=abc|"},
      {"own=1", "1, 2|own=1; session=abc|"},
      {"session=mine", "1, 2|session=mine|"},
  };
  for (const auto& c : cases) {
    Request request = get(server.url("/headers"));
    request.headers.add("X-Dup", "1");
    request.headers.add("x-dup", "2");
    request.headers.add("X-Bad", "a\r\nInjected: 1");
    if (c.ownCookie) request.headers.add("cookie", c.ownCookie);
    auto reply = sendSynchronousRequest(request);
    ASSERT_TRUE(reply.ok()) << reply.error->description();
    EXPECT_EQ(toString(reply.data), c.expected) << (c.ownCookie ? c.ownCookie : "-");
  }
}

TEST_F(SynchronousRequest, CookiesSetByTheServerGoBackOnLaterRequests) {
  server->Get("/login", [](const httplib::Request&, httplib::Response& res) {
    res.headers.emplace("Set-Cookie", "session=abc; Path=/");
    res.headers.emplace("Set-Cookie", "scoped=1; Path=/api");
    res.headers.emplace("Set-Cookie", "broken");
    res.set_content("ok", "text/plain");
  });
  server->Get("/hop", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.headers.emplace("Set-Cookie", "hop=yes; Path=/");
    res.set_header("Location", "/api/echo");
  });
  auto echo = [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.get_header_value("Cookie"), "text/plain");
  };
  server->Get("/api/echo", echo);
  server->Get("/echo", echo);
  server.start();

  ASSERT_TRUE(sendSynchronousRequest(get(server.url("/login"))).ok());
  EXPECT_EQ(CookieStorage::shared().cookies().size(), 2u);  // the malformed one is dropped

  auto reply = sendSynchronousRequest(get(server.url("/api/echo")));
  EXPECT_EQ(toString(reply.data), "scoped=1; session=abc");  // longer path first
  reply = sendSynchronousRequest(get(server.url("/echo")));
  EXPECT_EQ(toString(reply.data), "session=abc");

  // A cookie the request names itself keeps the request's value.
  Request own = get(server.url("/echo"));
  own.headers.set("Cookie", "session=mine; extra=2");
  reply = sendSynchronousRequest(own);
  EXPECT_EQ(toString(reply.data), "session=mine; extra=2");

  // A cookie set on a redirect hop travels on the hop that follows.
  reply = sendSynchronousRequest(get(server.url("/hop")));
  EXPECT_EQ(toString(reply.data), "scoped=1; session=abc; hop=yes");

  // Without cookie handling nothing is attached and nothing stored.
  CookieStorage::shared().deleteAllCookies();
  Request plain = get(server.url("/login"));
  plain.shouldHandleCookies = false;
  ASSERT_TRUE(sendSynchronousRequest(plain).ok());
  EXPECT_TRUE(CookieStorage::shared().cookies().empty());
  platform::http::Cookie stored;
  stored.name = "session";
  stored.value = "abc";
  stored.domain = "127.0.0.1";
  ASSERT_TRUE(CookieStorage::shared().setCookie(stored));
  plain.url = server.url("/echo");
  EXPECT_EQ(toString(sendSynchronousRequest(plain).data), "");
}

TEST_F(SynchronousRequest, UnknownLengthIsMinusOne) {
  server->Get("/stream", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
      sink.write("abc", 3);
      sink.done();
      return true;
    });
  });
  server.start();
  auto reply = sendSynchronousRequest(get(server.url("/stream")));
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.response->expectedContentLength(), -1);
  EXPECT_FALSE(reply.response->textEncodingName());
  EXPECT_EQ(toString(reply.data), "abc");
}

}  // namespace
