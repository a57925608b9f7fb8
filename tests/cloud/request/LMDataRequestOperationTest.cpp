// The raw data transfer: exactly one finish however and whenever it is
// cancelled, started by hand or through a queue; bodies, statuses and
// progress delivered as they came, on the network thread; an output stream
// that refuses a write stops the transfer. And hexadecimal key texts.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include "platform/Bytes.h"
#include "cloud/request/LMDataRequestOperation.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/http/TestServer.h"
#include "platform/http/UrlError.h"
#include "support/Sanitizers.h"

namespace {

using lumora::LMDataRequestOperation;
using platform::Bytes;
using platform::toBytes;

// The server's paths: a known body, an empty one, a 500, a body of unknown
// length, one that stalls after its first piece (until the server goes),
// and an echo of a POST's length.
void serveTestPaths(testhttp::TestServer& server) {
  server->Get("/body", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello body", "application/octet-stream");
  });
  server->Get("/empty", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("", "application/octet-stream");
  });
  server->Get("/error", [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("server trouble", "text/plain");
  });
  server->Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [](std::size_t offset, httplib::DataSink& sink) {
      if (offset == 0) sink.write("abc", 3);
      else if (offset == 3) sink.write("defg", 4);
      else sink.done();
      return true;
    });
  });
  server->Get("/stall", [&server](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain",
                                     [&server](std::size_t offset, httplib::DataSink& sink) {
      if (offset == 0) return sink.write("first", 5);
      server.gate().wait();
      return false;
    });
  });
  server->Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::to_string(req.body.size()), "text/plain");
  });
}

// Records the finish calls of one operation.
struct Finishes {
  std::mutex mutex;
  std::condition_variable cv;
  int count = 0;
  bool onNetworkThread = true;
  std::optional<platform::http::Response> response;
  std::optional<Bytes> data;
  std::optional<platform::Error> error;

  LMDataRequestOperation::FinishBlock block() {
    return [this](const auto& r, const auto& d, const auto& e) {
      std::lock_guard<std::mutex> guard(mutex);
      ++count;
      onNetworkThread = onNetworkThread && LMDataRequestOperation::networkRequestThread().isCurrent();
      response = r;
      data = d;
      error = e;
      cv.notify_all();
    };
  }
  bool waitForOne() {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, testsupport::scaled(std::chrono::seconds(10)), [this] { return count > 0; });
  }
};

// Waits until the network thread has run everything queued so far.
void drainNetworkThread() { LMDataRequestOperation::networkRequestThread().sync([] {}); }

platform::http::Request get(const testhttp::TestServer& server, const std::string& path) {
  platform::http::Request request;
  request.url = server.url(path);
  return request;
}

TEST(LMDataRequestOperation, EndsWithExactlyOneFinishWhenEverItIsCancelled) {
  testhttp::TestServer server;
  serveTestPaths(server);
  server.start();
  enum class When { BeforeStart, BeforeTheConnection, MidBody, AfterTheEnd };
  for (When when : {When::BeforeStart, When::BeforeTheConnection, When::MidBody, When::AfterTheEnd}) {
    SCOPED_TRACE(static_cast<int>(when));
    auto operation =
        LMDataRequestOperation::initWithRequest(get(server, when == When::MidBody ? "/stall" : "/body"));
    Finishes finishes;
    switch (when) {
      case When::BeforeStart:
        operation->cancel();
        EXPECT_EQ(operation->error()->code(), platform::http::kUrlErrorCancelled);
        operation->startWithFinish(finishes.block());
        break;
      case When::BeforeTheConnection: {
        // The network thread is held, so the connection cannot be made yet.
        std::promise<void> release;
        LMDataRequestOperation::networkRequestThread().async(
            [gate = release.get_future().share()] { gate.wait(); });
        operation->startWithFinish(finishes.block());
        operation->cancel();
        release.set_value();
        break;
      }
      case When::MidBody:
        operation->setReadDataBlock([operation](std::int64_t, std::int64_t, std::int64_t) {
          operation->cancel();
        });
        operation->startWithFinish(finishes.block());
        break;
      case When::AfterTheEnd:
        operation->startWithFinish(finishes.block());
        ASSERT_TRUE(finishes.waitForOne());
        operation->cancel();
        break;
    }
    ASSERT_TRUE(finishes.waitForOne());
    operation->cancel();
    operation->start();
    drainNetworkThread();
    drainNetworkThread();
    operation->waitUntilFinished();
    EXPECT_EQ(finishes.count, 1);
    EXPECT_TRUE(finishes.onNetworkThread);
    EXPECT_EQ(operation->state(), LMDataRequestOperation::kStateFinished);
    if (when == When::AfterTheEnd) {
      EXPECT_FALSE(finishes.error);
      EXPECT_EQ(finishes.data, toBytes("hello body"));
      continue;
    }
    ASSERT_TRUE(finishes.error);
    EXPECT_EQ(finishes.error->code(), platform::http::kUrlErrorCancelled);
    EXPECT_EQ(finishes.error->userInfo()[platform::http::kFailingURLStringKey], operation->request().url);
    EXPECT_FALSE(finishes.data);
    EXPECT_EQ(operation->error(), finishes.error);
    EXPECT_EQ(finishes.response.has_value(), when == When::MidBody);
  }
}

TEST(LMDataRequestOperation, ThroughAQueueItHoldsTheQueueUntilItEnds) {
  testhttp::TestServer server;
  serveTestPaths(server);
  server.start();
  platform::OperationQueue queue("data-requests");
  auto done = LMDataRequestOperation::initWithRequest(get(server, "/body"));
  queue.addOperation(done);
  done->waitUntilFinished();
  EXPECT_EQ(done->responseData(), toBytes("hello body"));

  // A running transfer and one waiting behind it, both cancelled: the first
  // ends with -999 through its finish, the second never starts; neither
  // leaves a waiter hanging or reads as a success.
  auto running = LMDataRequestOperation::initWithRequest(get(server, "/stall"));
  auto waiting = LMDataRequestOperation::initWithRequest(get(server, "/body"));
  Finishes finishes;
  running->setFinishBlock(finishes.block());
  std::promise<void> reading;
  running->setReadDataBlock([&reading, once = std::make_shared<std::once_flag>()](auto, auto, auto) {
    std::call_once(*once, [&reading] { reading.set_value(); });
  });
  queue.addOperation(running);
  queue.addOperation(waiting);
  reading.get_future().wait();
  queue.cancelAllOperations();
  running->waitUntilFinished();
  waiting->waitUntilFinished();
  ASSERT_TRUE(finishes.waitForOne());
  EXPECT_EQ(finishes.error->code(), platform::http::kUrlErrorCancelled);
  EXPECT_EQ(waiting->error()->code(), platform::http::kUrlErrorCancelled);
  EXPECT_EQ(waiting->state(), LMDataRequestOperation::kStateReady);
  queue.waitUntilAllOperationsAreFinished();
}

TEST(LMDataRequestOperation, DeliversBodiesStatusesAndProgressAsTheyCame) {
  testhttp::TestServer server;
  serveTestPaths(server);
  server.start();
  struct Case {
    const char* path;
    int status;
    std::string body;
    std::int64_t expected;  // the announced length progress reports; -1 none
  };
  for (const Case& c : {Case{"/body", 200, "hello body", 10}, Case{"/empty", 200, "", 0},
                        Case{"/error", 500, "server trouble", 14}, Case{"/chunked", 200, "abcdefg", -1}}) {
    SCOPED_TRACE(c.path);
    auto operation = LMDataRequestOperation::initWithRequest(get(server, c.path));
    std::int64_t sum = 0;
    std::int64_t lastTotal = 0;
    std::int64_t lastExpected = 0;
    operation->setReadDataBlock([&](std::int64_t now, std::int64_t total, std::int64_t expected) {
      sum += now;
      lastTotal = total;
      lastExpected = expected;
    });
    Finishes finishes;
    operation->startWithFinish(finishes.block());
    ASSERT_TRUE(finishes.waitForOne());
    EXPECT_FALSE(finishes.error);
    EXPECT_EQ(finishes.response->statusCode(), c.status);
    EXPECT_EQ(finishes.data, toBytes(c.body));  // empty, not missing, for an empty body
    EXPECT_EQ(operation->responseData(), finishes.data);
    EXPECT_EQ(sum, static_cast<std::int64_t>(c.body.size()));
    EXPECT_EQ(lastTotal, sum);
    EXPECT_EQ(operation->totalBytesRead(), sum);
    if (sum > 0) {
      EXPECT_EQ(lastExpected, c.expected);
    }
  }

  platform::http::Request post = get(server, "/echo");
  post.method = "POST";
  post.body = Bytes(100000, 7);
  post.headers.set("Content-Type", "application/octet-stream");
  auto upload = LMDataRequestOperation::initWithRequest(post);
  std::int64_t sent = 0;
  std::int64_t toSend = 0;
  upload->setSendDataBlock([&](std::int64_t, std::int64_t total, std::int64_t expected) {
    sent = total;
    toSend = expected;
  });
  Finishes finishes;
  upload->startWithFinish(finishes.block());
  ASSERT_TRUE(finishes.waitForOne());
  EXPECT_EQ(finishes.data, toBytes("100000"));
  EXPECT_EQ(sent, 100000);
  EXPECT_EQ(toSend, 100000);
}

TEST(LMDataRequestOperation, AnOutputStreamThatRefusesAWriteStopsTheTransfer) {
  testhttp::TestServer server;
  serveTestPaths(server);
  server.start();
  // Takes `room` bytes, then refuses.
  class Stream final : public platform::OutputStream {
   public:
    explicit Stream(std::size_t room) : room_(room) {}
    platform::Status write(const std::uint8_t* data, std::size_t size) override {
      if (size > room_ - bytes.size()) return platform::Error("test.stream", 28);
      bytes.insert(bytes.end(), data, data + size);
      return platform::Status::success();
    }
    void close() override { closed = true; }
    Bytes bytes;
    bool closed = false;

   private:
    std::size_t room_;
  };
  for (std::size_t room : {std::size_t{100}, std::size_t{3}}) {
    auto operation = LMDataRequestOperation::initWithRequest(get(server, "/body"));
    auto stream = std::make_shared<Stream>(room);
    operation->setOutputStream(stream);
    Finishes finishes;
    operation->startWithFinish(finishes.block());
    ASSERT_TRUE(finishes.waitForOne());
    drainNetworkThread();
    EXPECT_EQ(finishes.count, 1);
    EXPECT_FALSE(finishes.data);  // the bytes went to the stream
    EXPECT_TRUE(stream->closed);
    if (room == 100) {
      EXPECT_FALSE(finishes.error);
      EXPECT_EQ(stream->bytes, toBytes("hello body"));
    } else {
      ASSERT_TRUE(finishes.error);
      EXPECT_EQ(finishes.error->domain(), "test.stream");
      EXPECT_EQ(operation->totalBytesRead(), 0);
    }
  }
  // The memory bound holds for bodies kept in memory, not for a stream's.
  for (bool ownStream : {true, false}) {
    auto request = get(server, "/body");
    request.maxResponseBytes = 4;
    auto operation = LMDataRequestOperation::initWithRequest(request);
    if (ownStream) operation->setOutputStream(std::make_shared<Stream>(100));
    Finishes finishes;
    operation->startWithFinish(finishes.block());
    ASSERT_TRUE(finishes.waitForOne());
    drainNetworkThread();
    EXPECT_EQ(finishes.error.has_value(), !ownStream);
  }
}

TEST(HexData, PairsOfDigitsFromTheStart) {
  struct Case {
    const char* text;
    std::optional<Bytes> bytes;
  };
  for (const Case& c : {Case{"0aFF", Bytes{0x0a, 0xff}}, Case{"abc", Bytes{0xab}}, Case{"a", Bytes{}},
                        Case{"", Bytes{}}, Case{"0g", std::nullopt}, Case{"zz12", std::nullopt},
                        Case{"12\xC3\xA9", Bytes{0x12}}, Case{"\xC3\xA9\xC3\xA9", std::nullopt}}) {
    EXPECT_EQ(platform::hexData(c.text), c.bytes) << c.text;
  }
}

}  // namespace
