// What bounds a send: the whole request's deadline (on the platform clock),
// the bound of a reply kept in memory, a response sink for bodies that go to
// a file, and kept-alive connections reused across requests and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/http/Connection.h"
#include "platform/http/FileResponseSink.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/TestServer.h"
#include "platform/http/UrlError.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

using platform::http::Request;
using platform::http::SendControl;
using platform::http::sendSynchronousRequest;
using testhttp::TestServer;

constexpr std::size_t kChunk = 64 << 10;

Request getRequest(const std::string& url) {
  Request request;
  request.url = url;
  return request;
}

// Serves `total` bytes of 'x' in 64 KiB pieces, announced (Content-Length)
// or chunked; stops when the client goes away.
void serveBytes(httplib::Response& res, std::uint64_t total, bool announced) {
  auto provide = [total](std::size_t offset, httplib::DataSink& sink) {
    static const std::string piece(kChunk, 'x');
    if (offset >= total) {
      sink.done();
      return true;
    }
    auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, total - offset));
    return sink.write(piece.data(), size);
  };
  if (announced) {
    res.set_content_provider(static_cast<std::size_t>(total), "application/octet-stream",
                             [provide](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               return provide(offset, sink);
                             });
  } else {
    res.set_chunked_content_provider("application/octet-stream",
                                     [provide, sent = std::uint64_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                                       bool ok = provide(sent, sink);
                                       sent += kChunk;
                                       return ok;
                                     });
  }
}

TEST(ReplyLimits, ATricklingReplyEndsAtTheDeadlineOfTheClock) {
  TestServer server;
  std::atomic<bool> stop{false};
  server->Get("/trickle", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [&](std::size_t, httplib::DataSink& sink) {
      // A byte now and then, forever: never idle long enough to time out.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return !stop && sink.write("x", 1);
    });
  });
  server.start();

  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  Request request = getRequest(server.url("/trickle"));
  request.timeoutSeconds = 5;
  request.deadlineSeconds = 120;
  // Time passes while the bytes come: after the fifth, beyond the deadline.
  SendControl control;
  int pieces = 0;
  control.didReceiveData = [&](std::int64_t, std::int64_t, std::int64_t) {
    if (++pieces == 5) clock->advance(platform::seconds(121));
  };
  auto reply = sendSynchronousRequest(request, control);
  stop = true;
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->code(), platform::http::kUrlErrorTimedOut);
  EXPECT_GE(pieces, 5);
  EXPECT_LT(pieces, 50);
}

TEST(ReplyLimits, RepliesLongerThanTheBoundFailWithoutBeingKept) {
  TestServer server;
  server->Get("/announced", [](const httplib::Request&, httplib::Response& res) {
    serveBytes(res, 4ull << 30, true);
  });
  server->Get("/unannounced", [](const httplib::Request&, httplib::Response& res) {
    serveBytes(res, 64ull << 20, false);
  });
  server->Get("/fits", [](const httplib::Request&, httplib::Response& res) {
    serveBytes(res, 1 << 20, false);
  });
  server.start();

  struct Case {
    const char* path;
    bool fails;
  };
  for (const Case& c : {Case{"/announced", true}, Case{"/unannounced", true}, Case{"/fits", false}}) {
    Request request = getRequest(server.url(c.path));
    request.maxResponseBytes = 1 << 20;
    std::int64_t seen = 0;
    SendControl control;
    control.didReceiveData = [&](std::int64_t, std::int64_t total, std::int64_t) { seen = total; };
    auto reply = sendSynchronousRequest(request, control);
    EXPECT_LE(seen, 1 << 20) << c.path;
    if (!c.fails) {
      ASSERT_TRUE(reply.ok()) << reply.error->description();
      EXPECT_EQ(reply.data.size(), 1u << 20);
      continue;
    }
    ASSERT_FALSE(reply.ok()) << c.path;
    EXPECT_EQ(reply.error->code(), platform::http::kUrlErrorDataLengthExceedsMaximum) << c.path;
    EXPECT_LE(reply.data.size(), 1u << 20) << c.path;
  }

  // The asynchronous connection stops at the same bound.
  Request request = getRequest(server.url("/unannounced"));
  request.maxResponseBytes = 1 << 20;
  std::mutex mutex;
  std::condition_variable done;
  std::optional<platform::Error> failure;
  std::size_t delivered = 0;
  platform::http::Connection::Callbacks callbacks;
  callbacks.didReceiveData = [&](const platform::Bytes& data) { delivered += data.size(); };
  callbacks.didFailWithError = [&](const platform::Error& error) {
    std::lock_guard<std::mutex> guard(mutex);
    failure = error;
    done.notify_all();
  };
  platform::http::Connection connection(request, callbacks);
  connection.start();
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, testsupport::scaled(std::chrono::seconds(20)), [&] { return failure.has_value(); }));
  EXPECT_EQ(failure->code(), platform::http::kUrlErrorDataLengthExceedsMaximum);
  EXPECT_LE(delivered, 1u << 20);
}

TEST(ReplyLimits, AResponseSinkTakesTheFinalBodyWhateverItsLength) {
  TestServer server;
  server->Get("/file", [](const httplib::Request&, httplib::Response& res) {
    serveBytes(res, 3 << 20, false);
  });
  server->Get("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/file");
    res.set_content("not this", "text/plain");
  });
  server.start();
  testsupport::TestHome home;

  auto sink = std::make_shared<platform::http::FileResponseSink>(home.root() / "download.bin");
  Request request = getRequest(server.url("/moved"));
  request.maxResponseBytes = 1 << 20;  // for memory only
  request.responseSink = sink;
  std::int64_t seen = 0;
  SendControl control;
  control.didReceiveData = [&](std::int64_t, std::int64_t total, std::int64_t) { seen = total; };
  auto reply = sendSynchronousRequest(request, control);
  ASSERT_TRUE(reply.ok()) << reply.error->description();
  EXPECT_TRUE(reply.data.empty());
  EXPECT_EQ(seen, 3 << 20);
  EXPECT_EQ(sink->bytesWritten(), 3u << 20);
  EXPECT_EQ(std::filesystem::file_size(sink->path()), 3u << 20);

  // Sent again, the file starts over; a sink that cannot write fails the send.
  reply = sendSynchronousRequest(request);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(std::filesystem::file_size(sink->path()), 3u << 20);
  // Nothing goes into another's file at the name: a second name of it is
  // left with its bytes (the body goes into a file of its own), a symbolic
  // link fails the send.
  const auto userFile = home.root() / "user.txt";
  testsupport::writeFile(userFile, platform::toBytes("USER"));
  for (bool hard : {true, false}) {
    SCOPED_TRACE(hard ? "a second name" : "a symbolic link");
    std::filesystem::remove(sink->path());
    if (hard) {
      std::filesystem::create_hard_link(userFile, sink->path());
    } else {
      std::filesystem::create_symlink(userFile, sink->path());
    }
    reply = sendSynchronousRequest(request);
    EXPECT_EQ(reply.ok(), hard);
    EXPECT_EQ(testsupport::readFile(userFile), platform::toBytes("USER"));
  }
  request.responseSink = std::make_shared<platform::http::FileResponseSink>(home.root() / "no" / "such");
  reply = sendSynchronousRequest(request);
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error->domain(), platform::kPOSIXErrorDomain);
}

TEST(ReplyLimits, ConnectionsAreKeptAndSharedAcrossRequestsAndThreads) {
  TestServer server;
  std::mutex mutex;
  std::set<int> ports;
  server->Get("/ping", [&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      ports.insert(req.remote_port);
    }
    res.set_content("pong", "text/plain");
  });
  server.start();
  platform::http::closeIdleConnections();

  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        auto reply = sendSynchronousRequest(getRequest(server.url("/ping")));
        if (!reply.ok() || platform::toString(reply.data) != "pong") ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  auto portCount = [&] {
    std::lock_guard<std::mutex> guard(mutex);
    return ports.size();
  };
  // One connection per thread at most, not one per request.
  EXPECT_LE(portCount(), static_cast<std::size_t>(kThreads));

  // Closed idle connections are opened afresh.
  std::size_t before = portCount();
  platform::http::closeIdleConnections();
  ASSERT_TRUE(sendSynchronousRequest(getRequest(server.url("/ping"))).ok());
  EXPECT_EQ(portCount(), before + 1);
}

}  // namespace
