#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/http/Connection.h"
#include "platform/http/CookieStorage.h"
#include "platform/http/TestServer.h"
#include "support/Sanitizers.h"

namespace {

using platform::Bytes;
using platform::toBytes;
using platform::http::Connection;
using platform::http::Request;
using platform::http::Response;
using testhttp::TestServer;

// A serial queue on a thread of its own, standing in for a caller's queue.
class CallerQueue {
 public:
  Connection::Executor executor() {
    return [this](std::function<void()> task) { queue_.async(std::move(task)); };
  }
  // Blocks until every task posted so far has run.
  void drain() {
    queue_.sync([] {});
  }
  bool onQueue() const { return queue_.isCurrent(); }

 private:
  platform::SerialQueue queue_{"connection-test"};
};

// Records every callback as a line of text and signals the end.
struct Recorder {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> events;
  Bytes body;
  std::optional<Response> response;
  std::optional<platform::Error> error;
  std::int64_t lastSent = 0;
  std::int64_t expectedSent = 0;
  bool ended = false;
  bool allOnQueue = true;
  CallerQueue* queue = nullptr;

  void note(const std::string& event) {
    std::lock_guard<std::mutex> guard(mutex);
    if (queue && !queue->onQueue()) allOnQueue = false;
    events.push_back(event);
    cv.notify_all();
  }
  Connection::Callbacks callbacks() {
    Connection::Callbacks c;
    c.didReceiveResponse = [this](const Response& r) {
      response = r;
      note("response");
    };
    c.didReceiveData = [this](const Bytes& chunk) {
      body.insert(body.end(), chunk.begin(), chunk.end());
      note("data");
    };
    c.didSendBodyData = [this](std::int64_t, std::int64_t total, std::int64_t expected) {
      lastSent = total;
      expectedSent = expected;
      note("sent");
    };
    c.didFinishLoading = [this] {
      note("finish");
      std::lock_guard<std::mutex> guard(mutex);
      ended = true;
      cv.notify_all();
    };
    c.didFailWithError = [this](const platform::Error& e) {
      error = e;
      note("fail");
      std::lock_guard<std::mutex> guard(mutex);
      ended = true;
      cv.notify_all();
    };
    return c;
  }
  bool waitForEnd() {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, testsupport::scaled(std::chrono::seconds(10)), [this] { return ended; });
  }
  bool waitFor(const std::string& event) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, testsupport::scaled(std::chrono::seconds(10)), [&] {
      return std::find(events.begin(), events.end(), event) != events.end();
    });
  }
  std::size_t count(const std::string& event) {
    std::lock_guard<std::mutex> guard(mutex);
    return std::count(events.begin(), events.end(), event);
  }
};

Request request(const std::string& url) {
  Request r;
  r.url = url;
  return r;
}

TEST(Connection, ReportsUploadResponseDataAndFinishInOrderOnTheCallersQueue) {
  TestServer server;
  server->Post("/upload", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::string(100000, 'x') + std::to_string(req.body.size()), "text/plain");
  });
  server.start();

  CallerQueue queue;
  Recorder recorder;
  recorder.queue = &queue;
  Request upload = request(server.url("/upload"));
  upload.method = "POST";
  upload.headers.set("Content-Type", "application/octet-stream");
  upload.body = Bytes(200000, 1);
  Connection connection(upload, recorder.callbacks(), queue.executor());
  connection.start();
  ASSERT_TRUE(recorder.waitForEnd());
  queue.drain();

  EXPECT_TRUE(recorder.allOnQueue);
  EXPECT_EQ(recorder.lastSent, 200000);
  EXPECT_EQ(recorder.expectedSent, 200000);
  ASSERT_TRUE(recorder.response);
  EXPECT_EQ(recorder.response->statusCode(), 200);
  EXPECT_EQ(recorder.body.size(), 100006u);
  EXPECT_EQ(platform::toString(recorder.body).substr(100000), "200000");
  EXPECT_EQ(recorder.count("finish"), 1u);
  EXPECT_EQ(recorder.count("fail"), 0u);
  // Upload progress first, then the head, then the body, then the end.
  auto& events = recorder.events;
  auto firstResponse = std::find(events.begin(), events.end(), "response");
  ASSERT_NE(firstResponse, events.end());
  EXPECT_EQ(std::count(firstResponse, events.end(), "sent"), 0);
  EXPECT_EQ(std::count(events.begin(), firstResponse, "data"), 0);
  EXPECT_EQ(events.back(), "finish");
}

TEST(Connection, FailureEndsWithOneErrorAndNoFinish) {
  Recorder recorder;  // nothing listens on port 1
  Connection connection(request("http://127.0.0.1:1/"), recorder.callbacks());
  connection.start();
  ASSERT_TRUE(recorder.waitForEnd());
  ASSERT_TRUE(recorder.error);
  EXPECT_EQ(recorder.error->code(), -1004);
  EXPECT_EQ(recorder.count("fail"), 1u);
  EXPECT_EQ(recorder.count("finish"), 0u);
  EXPECT_EQ(recorder.count("response"), 0u);
}

TEST(Connection, TimeoutFailsWithMinus1001) {
  TestServer server;
  server->Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    server.gate().wait();
    res.set_content("late", "text/plain");
  });
  server.start();
  Recorder recorder;
  Request slow = request(server.url("/slow"));
  slow.timeoutSeconds = 0.3;
  Connection connection(slow, recorder.callbacks());
  connection.start();
  ASSERT_TRUE(recorder.waitForEnd());
  server.gate().open();
  ASSERT_TRUE(recorder.error);
  EXPECT_EQ(recorder.error->code(), -1001);
  EXPECT_EQ(recorder.count("response"), 0u);
}

TEST(Connection, NothingIsReportedOnceCancelHasReturned) {
  TestServer server;
  server->Get("/stream", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [&](size_t offset, httplib::DataSink& sink) {
      if (offset == 0) {
        sink.write("first", 5);
        return true;
      }
      server.gate().wait();
      sink.write("second", 6);
      sink.done();
      return true;
    });
  });
  server.start();

  CallerQueue queue;
  Recorder recorder;
  std::atomic<bool> cancelReturned{false};
  std::atomic<int> afterCancel{0};
  auto callbacks = recorder.callbacks();
  auto watch = [&](auto inner) {
    return [&, inner](auto&&... args) {
      if (cancelReturned) ++afterCancel;
      inner(std::forward<decltype(args)>(args)...);
    };
  };
  callbacks.didReceiveData = watch(callbacks.didReceiveData);
  callbacks.didFinishLoading = watch(callbacks.didFinishLoading);
  callbacks.didFailWithError = watch(callbacks.didFailWithError);
  {
    Connection connection(request(server.url("/stream")), callbacks, queue.executor());
    connection.start();
    ASSERT_TRUE(recorder.waitFor("data"));
    connection.cancel();
    cancelReturned = true;
    server.gate().open();  // the rest of the body is now on its way
    connection.cancel();   // a second cancel does nothing
  }  // joins the worker
  queue.drain();
  EXPECT_EQ(afterCancel, 0);
  EXPECT_EQ(recorder.count("finish") + recorder.count("fail"), 0u);
  EXPECT_EQ(platform::toString(recorder.body), "first");
}

// Holds posted tasks until the test runs them.
class HeldQueue {
 public:
  Connection::Executor executor() {
    return [this](std::function<void()> task) {
      std::lock_guard<std::mutex> guard(mutex_);
      tasks_.push_back(std::move(task));
      cv_.notify_all();
    };
  }
  bool waitForTasks(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, testsupport::scaled(std::chrono::seconds(10)), [&] { return tasks_.size() >= n; });
  }
  void runAll() {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
};

TEST(Connection, ReportsStillQueuedWhenCancelledAreDropped) {
  TestServer server;
  server->Get("/x", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("body", "text/plain");
  });
  server.start();
  HeldQueue queue;
  Recorder recorder;
  Connection connection(request(server.url("/x")), recorder.callbacks(), queue.executor());
  connection.start();
  ASSERT_TRUE(queue.waitForTasks(3));  // response, data, finish: all posted, none run
  connection.cancel();
  queue.runAll();
  EXPECT_TRUE(recorder.events.empty());
}

TEST(Connection, CancelledBeforeStartNeverRuns) {
  std::atomic<int> hits{0};
  TestServer server;
  server->Get("/x", [&](const httplib::Request&, httplib::Response& res) {
    ++hits;
    res.set_content("x", "text/plain");
  });
  server.start();
  Recorder recorder;
  {
    Connection connection(request(server.url("/x")), recorder.callbacks());
    connection.cancel();
    connection.start();
  }
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_EQ(hits, 0);
}

// Set when the last copy of the callbacks is gone: nothing can be reported.
struct ReleaseSignal {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
  void fire() {
    std::lock_guard<std::mutex> guard(mutex);
    released = true;
    cv.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, testsupport::scaled(std::chrono::seconds(10)), [this] { return released; });
  }
};

TEST(Connection, ACallbackMayDropItsOwnConnection) {
  TestServer server;
  server->Get("/x", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("x", "text/plain");
  });
  server.start();
  ReleaseSignal signal;
  std::atomic<bool> finished{false};
  auto owner = std::make_shared<std::unique_ptr<Connection>>();
  {
    std::shared_ptr<void> sentinel(nullptr, [&signal](void*) { signal.fire(); });
    Connection::Callbacks callbacks;
    callbacks.didReceiveResponse = [owner, sentinel](const Response&) {
      owner->reset();  // cancels and destroys the connection from its own worker
    };
    callbacks.didFinishLoading = [&finished, sentinel] { finished = true; };
    *owner = std::make_unique<Connection>(request(server.url("/x")), std::move(callbacks));
  }
  (*owner)->start();
  ASSERT_TRUE(signal.wait());  // the callbacks were let go: no report can follow
  EXPECT_FALSE(finished);
}

}  // namespace
