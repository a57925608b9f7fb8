// An in-process HTTP server on 127.0.0.1 (a free port) for the client tests,
// and a gate that server handlers wait on until the test opens it.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/http/SynchronousReply.h"
#include "support/Sanitizers.h"

namespace testhttp {

// Handlers block on wait() until the test calls open() (at most 10 s, as
// long as the build stretches it, so a failing test never hangs).
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, testsupport::scaled(std::chrono::seconds(10)), [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class TestServer {
 public:
  TestServer() {
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_max_count(100);
    port_ = server_.bind_to_any_port("127.0.0.1");
  }
  ~TestServer() {
    gate_.open();  // handlers still waiting must end before the server can
    platform::http::closeIdleConnections();  // else stop() waits out keep-alive
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  // Register handlers on it before start().
  httplib::Server& operator*() { return server_; }
  httplib::Server* operator->() { return &server_; }

  void start() {
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is only heard once the accept loop runs.
    const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(5));
    while (!server_.is_running() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  int port() const { return port_; }
  // A gate for handlers to wait on; opened at the latest when the server goes.
  Gate& gate() { return gate_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  Gate gate_;
  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
};

}  // namespace testhttp
