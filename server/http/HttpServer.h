// The local cloud's HTTP server: cpp-httplib's request parsing, routing and
// replies over connection handling of its own, made for many clients at
// once. cpp-httplib serves each connection on one worker for the
// connection's life, from a fixed pool of 8, listens with a backlog of 5 and
// lets a request's headers trickle in for as long as each byte comes within
// its read time-out; so a few kept-alive or slow clients could starve all
// others. Here instead:
//  - workers are started on demand, up to ConnectionLimits::maxWorkers;
//  - the listen backlog is kListenBacklog;
//  - a kept-alive connection waits at most `keepAliveIdle` for its next
//    request, and gives its worker up at once while other connections wait
//    for one;
//  - a connection's first request must begin within `requestHead`, and the
//    request line and headers of every request must be complete within
//    `requestHead` of their first byte and 64 KiB; reads of a body each wait at most
//    the server's read time-out, and a body must keep up a minimum rate
//    (`minBodyRate` bytes a second after a grace of `bodyGrace`), so a
//    body sent a byte at a time cannot hold a worker for long;
//  - one client address has at most `maxPerAddress` connections served at
//    once; further ones are closed unread, so one client cannot take every
//    worker;
//  - at most `maxUnfinished` connections, whatever their addresses (any
//    local process can bind any 127.x address), are served while their
//    request's head or body has not arrived whole (a head that came whole
//    in the request's first bytes does not count, its body does); one
//    more drops the slowest of them (fewest bytes a second since its
//    request began, the first kUnfinishedJudgedAfter counting as that
//    long; the oldest on a tie), so slow senders hold at most that many
//    workers and the others stay free for whole requests;
//  - a form body is read up to the server's body limit (cpp-httplib's own
//    limit for forms is 8 KiB): its "Content-Type" label is taken off
//    before the body is read, and the services read an unlabelled body as
//    a form.
//
// Ownership: as httplib::Server; the worker pool lives while listen*()
// runs. Threading: configure before listening; stop() may be called from
// any thread and ends idle and waiting connections within a few tens of
// milliseconds. Failures: bind() returns -1; a connection that breaks a
// limit is closed.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace localcloud {

struct ConnectionLimits {
  std::chrono::milliseconds requestHead{10000};
  std::chrono::milliseconds keepAliveIdle{5000};
  std::size_t maxWorkers = 512;
  std::chrono::milliseconds bodyGrace{10000};
  std::size_t minBodyRate = 16 * 1024;
  std::size_t maxPerAddress = 128;
  std::size_t maxUnfinished = 256;
};

class HttpServer : public httplib::Server {
 public:
  static constexpr int kListenBacklog = 1024;
  static constexpr std::chrono::milliseconds kUnfinishedJudgedAfter{100};

  explicit HttpServer(ConnectionLimits limits = {});

  // Binds host:port (0 = an ephemeral port) and listens with the large
  // backlog; the bound port, or -1.
  int bind(const std::string& host, int port);

  // For a handler that streams the body of the request it serves (on the
  // worker's thread): past `bytes` of body read since the handler last
  // heard of some (heardBody()), reading fails. So a parser between the
  // two (cpp-httplib's multipart reader, which holds a part's header until
  // it ends) holds at most that much. Lasts until the next request.
  static void limitUnheardBody(std::size_t bytes);
  static void heardBody();
  // Closes the connection of the request being served (on the worker's
  // thread) once its reply is out: a reply given without reading the body
  // ("Connection: close"), whose rest is no next request.
  static void closeAfterReply();

 private:
  class Connection;
  class WorkerPool;

  bool process_and_close_socket(socket_t sock) override;
  bool stopping() const { return svr_sock_ == INVALID_SOCKET; }
  // Counts a connection of `address` in (false: it is one too many) and out.
  bool admit(const std::string& address);
  void release(const std::string& address);
  // A request of the connection has begun (or is awaited) and has not
  // arrived whole: counted in, dropping the slowest other one when the
  // count is full; and out again (also when it was dropped).
  void beginUnfinished(Connection& connection);
  void endUnfinished(Connection& connection);

  const ConnectionLimits limits_;
  std::mutex addressesMutex_;
  std::map<std::string, std::size_t> served_;  // connections served per client address
  std::mutex unfinishedMutex_;
  std::vector<Connection*> unfinished_;  // their sockets stay open while listed here
};

}  // namespace localcloud
