#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ServerFixture.h"

namespace servertest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ConnectionLoad : public ServerTest {
 protected:
  void restartWith(const localcloud::ConnectionLimits& limits) {
    server_->stop();
    server_->setConnectionLimits(limits);
    std::string error;
    ASSERT_TRUE(server_->start(0, &error)) << error;
  }

  bool ping() const {
    httplib::Client cli("127.0.0.1", server_->port());
    cli.set_connection_timeout(2, 0);
    cli.set_read_timeout(2, 0);
    auto result = cli.Get("/_admin/ping");
    return result && result->status == 200;
  }

  // A connection that has sent a request line and then nothing.
  int openSlowConnection() const {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server_->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    const std::string line = "GET /_admin/ping HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    return fd;
  }
};

TEST_F(ConnectionLoad, FiftyKeptAliveClientsAreAllServed) {
  // Each client keeps its connection busy until every one has had a reply:
  // with a worker held per kept-alive connection from a pool of 8, the
  // first 8 kept the others out for good. Workers now start as needed; and
  // where they are few, an idle kept-alive connection gives its worker up
  // to a waiting one.
  constexpr int kClients = 50;
  for (std::size_t workers : {localcloud::ConnectionLimits{}.maxWorkers, std::size_t{8}}) {
    SCOPED_TRACE(workers);
    localcloud::ConnectionLimits limits;
    limits.maxWorkers = workers;
    restartWith(limits);
    std::atomic<int> served{0};
    const auto deadline = Clock::now() + 5s;
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&] {
        httplib::Client cli("127.0.0.1", server_->port());
        cli.set_keep_alive(true);
        cli.set_read_timeout(2, 0);
        bool counted = false;
        while (served < kClients && Clock::now() < deadline) {
          auto result = cli.Get("/_admin/ping");
          if (!counted && result && result->status == 200 && Clock::now() < deadline) {
            counted = true;
            ++served;
          }
          std::this_thread::sleep_for(50ms);  // the client's own pace
        }
      });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(served, kClients);
  }
}

TEST_F(ConnectionLoad, SlowHeadersNeitherStallOthersNorHoldOn) {
  // 16 connections trickle their headers a byte at a time, each byte well
  // within the read time-out: they held every worker, and pings timed out.
  // (Heads are due within half a second here, so that the cut is seen soon.)
  constexpr auto kHeadLimit = 500ms;
  localcloud::ConnectionLimits limits;
  limits.requestHead = kHeadLimit;
  restartWith(limits);
  constexpr int kSlow = 16;
  std::vector<int> slow;
  for (int i = 0; i < kSlow; ++i) slow.push_back(openSlowConnection());
  for (int fd : slow) ASSERT_GE(fd, 0);
  std::atomic<int> closedByServer{0};
  const auto start = Clock::now();
  std::thread trickler([&] {
    std::vector<bool> open(slow.size(), true);
    while (closedByServer < kSlow && Clock::now() < start + 10s) {
      for (std::size_t i = 0; i < slow.size(); ++i) {
        if (!open[i]) continue;
        char byte = 'a';
        char seen = 0;
        bool gone = ::send(slow[i], &byte, 1, MSG_NOSIGNAL) < 0 ||
                    ::recv(slow[i], &seen, 1, MSG_DONTWAIT) == 0;
        if (gone) {
          open[i] = false;
          ++closedByServer;
        }
      }
      std::this_thread::sleep_for(100ms);  // the slow senders' pace
    }
  });
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ping()) << i;
  // The slow ones are cut off once their head is overdue.
  trickler.join();
  EXPECT_EQ(closedByServer, kSlow);
  EXPECT_GE(Clock::now() - start, kHeadLimit);
  for (int fd : slow) ::close(fd);
}

}  // namespace
}  // namespace servertest
