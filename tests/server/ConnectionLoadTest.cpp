#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ServerFixture.h"
#include "support/Sanitizers.h"

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
    cli.set_connection_timeout(testsupport::scaled(2s));
    cli.set_read_timeout(testsupport::scaled(2s));
    auto result = cli.Get("/_admin/ping");
    return result && result->status == 200;
  }

  // A connection from `from` (a loopback address) that has sent `text`.
  int openConnection(const std::string& text, const char* from = "127.0.0.1") const {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &source.sin_addr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server_->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    return fd;
  }
  // A connection that has sent a request line and then nothing.
  int openSlowConnection() const {
    return openConnection("GET /_admin/ping HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
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
    const auto deadline = Clock::now() + testsupport::scaled(5s);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&] {
        httplib::Client cli("127.0.0.1", server_->port());
        cli.set_keep_alive(true);
        cli.set_read_timeout(testsupport::scaled(2s));
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
    while (closedByServer < kSlow && Clock::now() < start + testsupport::scaled(10s)) {
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

TEST_F(ConnectionLoad, SlowBodiesFromOneAddressNeitherStallOthersNorHoldOn) {
  // Connections that announce a body and send a byte now and then held
  // every worker (each byte came within the read time-out), and a ping got
  // no answer. Now one address has only so many connections served, and a
  // body below the minimum rate is cut off after its grace.
  localcloud::ConnectionLimits limits;
  limits.maxWorkers = 16;
  limits.maxPerAddress = 4;
  limits.bodyGrace = 300ms;
  limits.minBodyRate = 1000;
  restartWith(limits);
  constexpr int kSlow = 24;
  std::vector<int> slow;
  for (int i = 0; i < kSlow; ++i) {
    slow.push_back(openConnection(
        "POST /_admin/faults HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\n\r\n{"));
    ASSERT_GE(slow.back(), 0);
  }
  const auto start = Clock::now();
  const int fd = openConnection("GET /_admin/ping HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                                "127.0.0.2");
  ASSERT_GE(fd, 0);
  pollfd entry{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&entry, 1, testsupport::scaledMilliseconds(1s)), 1);
  char head[12] = {};
  EXPECT_EQ(::recv(fd, head, sizeof head - 1, 0), 11);
  EXPECT_EQ(std::string(head).substr(9), "20");
  EXPECT_LT(Clock::now() - start, testsupport::scaled(1s));
  ::close(fd);
  // Every slow one is closed by the server, those served once their rate
  // fell short.
  for (int slowFd : slow) {
    bool closed = false;
    pollfd wait{slowFd, POLLIN, 0};
    char buffer[256];
    while (!closed && ::poll(&wait, 1, testsupport::scaledMilliseconds(3s)) == 1) {
      closed = ::recv(slowFd, buffer, sizeof buffer, 0) <= 0;
    }
    EXPECT_TRUE(closed);
    ::close(slowFd);
  }
  EXPECT_LT(Clock::now() - start, testsupport::scaled(3s));
}

TEST_F(ConnectionLoad, SlowConnectionsFromManyAddressesGiveWayToOthers) {
  // Slow heads and bodies spread over many loopback addresses stay under
  // the per-address cap and (due only after a minute here) held every
  // worker: a ping waited for one. Now only so many connections are served
  // unfinished, and one more drops the slowest of them; a body that comes
  // in at a steady pace all along is not among those dropped.
  localcloud::ConnectionLimits limits;
  limits.maxWorkers = 64;
  limits.maxPerAddress = 16;
  limits.maxUnfinished = 32;
  limits.requestHead = 60s;
  limits.bodyGrace = 60s;
  restartWith(limits);
  constexpr int kChunks = 100;
  constexpr std::size_t kChunk = 1000;
  const int steady = openConnection("POST /_admin/faults HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                        std::to_string(kChunks * kChunk) + "\r\n\r\n",
                                    "127.0.0.3");
  ASSERT_GE(steady, 0);
  std::atomic<int> sent{0};
  std::thread sender([steady, &sent] {
    std::string chunk(kChunk, ' ');
    for (int i = 0; i < kChunks; ++i) {
      chunk.front() = i == 0 ? '{' : ' ';
      chunk.back() = i + 1 == kChunks ? '}' : ' ';
      if (::send(steady, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) break;
      sent.fetch_add(1);
      sent.notify_all();
      std::this_thread::sleep_for(10ms);  // the uploader's pace
    }
    sent = kChunks;
    sent.notify_all();
  });
  // The upload is under way before the slow ones come: with only its head
  // in, it is as slow as they are.
  for (int now = sent.load(); now < 3; now = sent.load()) sent.wait(now);

  constexpr int kSlow = 400;
  std::vector<int> slow;
  for (int i = 0; i < kSlow; ++i) {
    const std::string from = "127.0.1." + std::to_string(1 + i % 50);
    slow.push_back(openConnection(i % 2 == 0 ? "GET /_admin/ping HTTP/1.1\r\nHost: x\r\nX-Slow: "
                                             : "POST /_admin/faults HTTP/1.1\r\nHost: x\r\n"
                                               "Content-Length: 100000\r\n\r\n{",
                                  from.c_str()));
    EXPECT_GE(slow.back(), 0);
  }
  const auto start = Clock::now();
  const int fd = openConnection("GET /_admin/ping HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                                "127.0.0.2");
  EXPECT_GE(fd, 0);
  // The first bytes of a reply on `sock` within `limit` ("" when none).
  const auto replyHead = [](int sock, int limitMs) {
    pollfd entry{sock, POLLIN, 0};
    char head[13] = {};
    if (::poll(&entry, 1, limitMs) == 1) (void)::recv(sock, head, sizeof head - 1, MSG_WAITALL);
    return std::string(head);
  };
  // A second at most, as long as the build stretches it (a ping held by the
  // slow ones waited half a minute).
  constexpr auto kPromptly = testsupport::scaled(1s);
  EXPECT_EQ(replyHead(fd, static_cast<int>(std::chrono::milliseconds(kPromptly).count())), "HTTP/1.1 200");
  EXPECT_LT(Clock::now() - start, kPromptly);
  ::close(fd);

  sender.join();
  EXPECT_EQ(replyHead(steady, testsupport::scaledMilliseconds(5s)).substr(0, 9), "HTTP/1.1 ")
      << "the steady upload was dropped";
  ::close(steady);
  // All but the last few slow ones were dropped.
  std::size_t closed = 0;
  std::vector<pollfd> waits;
  for (int slowFd : slow) waits.push_back(pollfd{slowFd, POLLIN, 0});
  const auto deadline = Clock::now() + testsupport::scaled(3s);
  while (closed < kSlow - limits.maxUnfinished && Clock::now() < deadline) {
    if (::poll(waits.data(), waits.size(), 100) <= 0) continue;
    for (auto& wait : waits) {
      char buffer[256];
      if (wait.fd < 0 || !(wait.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (::recv(wait.fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
        ++closed;
        wait.fd = -1;
      }
    }
  }
  EXPECT_GE(closed, kSlow - limits.maxUnfinished);
  for (int slowFd : slow) ::close(slowFd);
}

}  // namespace
}  // namespace servertest
