#include "server/http/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace localcloud {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting connection looks whether the server stops or a
// worker is wanted elsewhere.
constexpr std::chrono::milliseconds kWaitSlice{25};

std::chrono::microseconds duration(time_t sec, time_t usec) {
  return std::chrono::seconds(sec) + std::chrono::microseconds(usec);
}

// "ip" and port of a socket address (numeric).
void describe(const sockaddr_storage& address, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    port = ntohs(in.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    port = ntohs(in6.sin6_port);
  }
  ip = text;
}

// cpp-httplib refuses a body labelled as a form beyond 8 KiB (its build
// fixes the limit), while a batch of contact changes, encrypted and
// escaped, is often longer. The label is taken off once the head is read:
// the body is then read within the server's own body limit, and the
// services read an unlabelled body as a form all the same.
void takeFormLabel(httplib::Request& req) {
  for (auto type = req.headers.find("Content-Type"); type != req.headers.end();
       type = req.headers.find("Content-Type")) {
    std::string value = type->second;
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (value.rfind("application/x-www-form-urlencoded", 0) != 0) return;
    req.headers.erase(type);
  }
}

}  // namespace

// Workers started as connections arrive, up to a maximum; a connection that
// arrives while all are busy waits in line. Workers stay until shutdown.
class HttpServer::WorkerPool : public httplib::TaskQueue {
 public:
  explicit WorkerPool(std::size_t maxWorkers) : maxWorkers_(std::max<std::size_t>(maxWorkers, 1)) {}
  ~WorkerPool() override = default;

  void enqueue(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(fn));
    if (jobs_.size() > idle_ && workers_.size() < maxWorkers_) {
      ++idle_;  // the new worker takes a job as soon as it runs
      try {
        workers_.emplace_back(&WorkerPool::work, this);
      } catch (const std::system_error&) {
        --idle_;  // no thread to be had: the job waits for a worker
      }
    } else {
      wake_.notify_one();
    }
    updateWaiting();
  }

  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      shutdown_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker.join();
  }

  // True while connections wait for a worker.
  bool starved() const { return waiting_.load(std::memory_order_relaxed); }
  // The pool of the calling worker thread (null on other threads).
  static WorkerPool* current() { return current_; }

 private:
  void work() {
    current_ = this;
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !jobs_.empty() || shutdown_; });
      // Jobs left at shutdown still run: each closes its connection.
      if (jobs_.empty()) break;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      --idle_;
      updateWaiting();
      lock.unlock();
      job();
      lock.lock();
      ++idle_;
      updateWaiting();
    }
  }
  void updateWaiting() { waiting_ = jobs_.size() > idle_; }

  static thread_local WorkerPool* current_;

  const std::size_t maxWorkers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> workers_;
  std::size_t idle_ = 0;  // workers waiting for a job, or starting
  bool shutdown_ = false;
  std::atomic<bool> waiting_{false};
};

thread_local HttpServer::WorkerPool* HttpServer::WorkerPool::current_ = nullptr;

// One accepted connection as cpp-httplib's request handling reads and
// writes it: buffered reads that wait within the current limit (the
// request head's deadline, else the read time-out), and writes gathered
// until the reply is done (or much is pending, or a read must wait for the
// peer), so that a reply's head and body leave in one segment; sending
// waits within the write time-out. Waits are cut short when the server
// stops.
class HttpServer::Connection : public httplib::Stream {
 public:
  Connection(HttpServer& server, socket_t sock) : server_(server), sock_(sock) {}

  // Waits until the next request begins (or the peer closes): false after
  // `limit`, when the server stops, or, when `yield`, as soon as other
  // connections wait for a worker.
  bool awaitRequest(std::chrono::milliseconds limit, bool yield) {
    if (offset_ < size_) return true;
    return wait(POLLIN, Clock::now() + limit, yield);
  }
  // A request is awaited or has begun: it counts as unfinished until its
  // head and body are read whole (or its reply goes out), unless its head
  // has come in whole already (then its body counts, once the head is
  // read). What has come in already counts for it.
  void beginRequest() {
    std::size_t have = size_ - offset_;
    if (have == 0) {
      ssize_t n = ::recv(sock_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
      if (n > 0) {
        offset_ = 0;
        size_ = static_cast<std::size_t>(n);
        have = size_;
      }
    }
    requestBegan_ = Clock::now().time_since_epoch().count();
    requestBytes_ = have;
    if (std::string_view(buffer_.data() + offset_, have).find("\r\n\r\n") == std::string_view::npos) {
      server_.beginUnfinished(*this);
    }
  }
  // The request has arrived whole, or its reply is going out.
  void finishRequest() {
    awaitingBody_ = false;
    server_.endUnfinished(*this);
  }
  // Bytes a second the current request has come in at, the first
  // kUnfinishedJudgedAfter counting as that long.
  double requestRate(Clock::time_point now) const {
    auto began = Clock::time_point(Clock::duration(requestBegan_.load(std::memory_order_relaxed)));
    auto age = std::max<Clock::duration>(now - began, kUnfinishedJudgedAfter);
    return static_cast<double>(requestBytes_.load(std::memory_order_relaxed)) /
           std::chrono::duration<double>(age).count();
  }
  Clock::rep requestBegan() const { return requestBegan_.load(std::memory_order_relaxed); }
  // Ends the connection from another thread: its waits and reads end at
  // once. Called under the server's lock on the unfinished connections,
  // while this one is listed (so its socket is still open).
  void drop() { ::shutdown(sock_, SHUT_RDWR); }
  bool listedUnfinished = false;  // guarded by the server's lock on them

  // The request line and headers are due within the limit from now on,
  // until endHead().
  void beginHead() {
    headDeadline_ = Clock::now() + server_.limits_.requestHead;
    bodyStart_.reset();
    bodyRead_ = 0;  // counts the head until it ends
    unheardLimit_ = 0;
  }
  // The body (if any) is read from now on, at the minimum rate; the request
  // is whole once the announced length is read (a chunked body: once the
  // reply goes out).
  void endHead(const httplib::Request& req) {
    headDeadline_.reset();
    bodyStart_ = Clock::now();
    bodyRead_ = 0;
    bodyDue_.reset();
    if (req.get_header_value("Transfer-Encoding").find("chunked") == std::string::npos) {
      const std::string length = req.get_header_value("Content-Length");
      std::size_t due = 0;
      std::from_chars(length.data(), length.data() + length.size(), due);
      if (due == 0) {
        finishRequest();
        return;
      }
      bodyDue_ = due;
    }
    awaitingBody_ = true;
    server_.beginUnfinished(*this);
  }
  // True while a request's head has not been read whole.
  bool inHead() const { return headDeadline_.has_value(); }
  // True once a read ran out of time: what is left of the request is lost.
  bool broken() const { return broken_; }

  bool is_readable() const override {
    return offset_ < size_ || wait(POLLIN, readDeadline(), false);
  }
  bool is_writable() const override {
    return wait(POLLOUT, writeDeadline(), false);
  }

  // The thread's connection while it serves one (null elsewhere).
  static Connection*& current() {
    static thread_local Connection* connection = nullptr;
    return connection;
  }
  void limitUnheard(std::size_t bytes) {
    unheardLimit_ = bytes;
    heardAt_ = bodyRead_;
  }
  void heard() { heardAt_ = bodyRead_; }
  void closeAfterReply() { closeAfter_ = true; }
  bool closesAfterReply() const { return closeAfter_; }

  ssize_t read(char* ptr, size_t size) override {
    // A head (or what is taken for one: the rest of a body left unread)
    // that does not end is not kept growing.
    if (headDeadline_ && bodyRead_ > kMaxHeadBytes) {
      broken_ = true;
      return -1;
    }
    if (unheardLimit_ > 0 && bodyRead_ - heardAt_ > unheardLimit_) {
      broken_ = true;
      return -1;
    }
    if (offset_ < size_) {
      std::size_t n = std::min(size, size_ - offset_);
      std::memcpy(ptr, buffer_.data() + offset_, n);
      offset_ += n;
      bodyRead_ += n;
      noteBodyRead();
      return static_cast<ssize_t>(n);
    }
    // Small reads (cpp-httplib reads the head a byte at a time) go through
    // the buffer; large ones straight to the caller.
    bool buffered = size < buffer_.size();
    char* target = buffered ? buffer_.data() : ptr;
    std::size_t capacity = buffered ? buffer_.size() : size;
    auto deadline = readDeadline();
    for (;;) {
      ssize_t n = ::recv(sock_, target, capacity, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The peer may wait for what was written (a "100 Continue").
        if (!pending_.empty() && !flush()) return -1;
        if (!wait(POLLIN, deadline, false)) {
          broken_ = true;
          return -1;
        }
        continue;
      }
      if (n <= 0) return n;
      requestBytes_.fetch_add(static_cast<std::size_t>(n), std::memory_order_relaxed);
      if (!buffered) {
        bodyRead_ += static_cast<std::size_t>(n);
        noteBodyRead();
        return n;
      }
      std::size_t got = static_cast<std::size_t>(n);
      std::size_t out = std::min(size, got);
      std::memcpy(ptr, buffer_.data(), out);
      offset_ = out;
      size_ = got;
      bodyRead_ += out;
      noteBodyRead();
      return static_cast<ssize_t>(out);
    }
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (awaitingBody_ && !bodyDue_) finishRequest();
    if (pending_.size() + size < kFlushSize) {
      pending_.append(ptr, size);
      return static_cast<ssize_t>(size);
    }
    // Much to send: what was gathered, then this straight from the caller.
    if (!flush() || !send(ptr, size)) return -1;
    return static_cast<ssize_t>(size);
  }

  // Sends what the writes gathered; false when the peer does not take it
  // within the write time-out.
  bool flush() {
    bool sent = send(pending_.data(), pending_.size());
    pending_.clear();
    return sent;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    describeOnce(remote_, ::getpeername);
    ip = remote_->ip;
    port = remote_->port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    describeOnce(local_, ::getsockname);
    ip = local_->ip;
    port = local_->port;
  }
  socket_t socket() const override { return sock_; }

 private:
  struct Address {
    std::string ip;
    int port = 0;
  };

  Clock::time_point readDeadline() const {
    if (headDeadline_) return *headDeadline_;
    auto deadline = Clock::now() + duration(server_.read_timeout_sec_, server_.read_timeout_usec_);
    const ConnectionLimits& limits = server_.limits_;
    if (bodyStart_ && limits.minBodyRate > 0) {
      // The next byte is due when the body would fall below the rate.
      auto due = *bodyStart_ + limits.bodyGrace +
                 std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>(static_cast<double>(bodyRead_ + 1) /
                                                   static_cast<double>(limits.minBodyRate)));
      deadline = std::min(deadline, due);
    }
    return deadline;
  }
  void noteBodyRead() {
    if (awaitingBody_ && bodyDue_ && bodyRead_ >= *bodyDue_) finishRequest();
  }
  Clock::time_point writeDeadline() const {
    return Clock::now() + duration(server_.write_timeout_sec_, server_.write_timeout_usec_);
  }

  bool send(const char* data, std::size_t size) {
    std::size_t sent = 0;
    auto deadline = writeDeadline();
    while (sent < size) {
      ssize_t n = ::send(sock_, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        sent += static_cast<std::size_t>(n);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!wait(POLLOUT, deadline, false)) return false;
      } else if (errno != EINTR) {
        return false;
      }
    }
    return true;
  }

  // Polls for `events` until the deadline, in slices, so that a stopping
  // server (or, with `yield`, a starved pool) ends the wait. True when the
  // socket is ready or has failed (the next call on it tells which).
  bool wait(short events, Clock::time_point deadline, bool yield) const {
    for (;;) {
      if (server_.stopping()) return false;
      if (yield) {
        WorkerPool* pool = WorkerPool::current();
        if (pool && pool->starved()) return false;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd entry{sock_, events, 0};
      int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, kWaitSlice).count()));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  template <typename Query>
  void describeOnce(std::optional<Address>& slot, Query query) const {
    if (slot) return;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    slot = Address{};
    if (query(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      describe(address, slot->ip, slot->port);
    }
  }

  static constexpr std::size_t kFlushSize = 64 * 1024;
  static constexpr std::size_t kMaxHeadBytes = 64 * 1024;

  HttpServer& server_;
  const socket_t sock_;
  std::string pending_;
  std::array<char, 64 * 1024> buffer_{};
  std::size_t offset_ = 0;
  std::size_t size_ = 0;
  std::optional<Clock::time_point> headDeadline_;
  std::optional<Clock::time_point> bodyStart_;  // the current request's head was read then
  std::size_t bodyRead_ = 0;                    // bytes read since (of the head before)
  bool broken_ = false;
  bool closeAfter_ = false;
  std::size_t unheardLimit_ = 0;  // 0: none
  std::size_t heardAt_ = 0;
  bool awaitingBody_ = false;           // the head is read, the body not yet whole
  std::optional<std::size_t> bodyDue_;  // its announced length (none: chunked)
  std::atomic<Clock::rep> requestBegan_{0};
  std::atomic<std::size_t> requestBytes_{0};  // received for the current request
  mutable std::optional<Address> remote_;
  mutable std::optional<Address> local_;
};

HttpServer::HttpServer(ConnectionLimits limits) : limits_(limits) {
  new_task_queue = [this] { return new WorkerPool(limits_.maxWorkers); };
  // What the "Keep-Alive" header tells clients.
  auto idleSeconds = std::chrono::ceil<std::chrono::seconds>(limits_.keepAliveIdle).count();
  set_keep_alive_timeout(std::max<time_t>(1, idleSeconds));
  // Not cpp-httplib's default, which shares the port with any other server
  // already listening on it (SO_REUSEPORT): a port in use must be refused.
  set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
}

int HttpServer::bind(const std::string& host, int port) {
  int bound = port;
  if (port == 0) {
    bound = bind_to_any_port(host);
  } else if (!bind_to_port(host, port)) {
    bound = -1;
  }
  if (bound <= 0) return -1;
  // cpp-httplib listens with a backlog of 5; listening again on the bound
  // socket widens it.
  if (::listen(svr_sock_, kListenBacklog) != 0) return -1;
  return bound;
}

void HttpServer::limitUnheardBody(std::size_t bytes) {
  if (Connection* connection = Connection::current()) connection->limitUnheard(bytes);
}

void HttpServer::heardBody() {
  if (Connection* connection = Connection::current()) connection->heard();
}

void HttpServer::closeAfterReply() {
  if (Connection* connection = Connection::current()) connection->closeAfterReply();
}

bool HttpServer::admit(const std::string& address) {
  std::lock_guard lock(addressesMutex_);
  std::size_t& count = served_[address];
  if (limits_.maxPerAddress > 0 && count >= limits_.maxPerAddress) {
    if (count == 0) served_.erase(address);
    return false;
  }
  ++count;
  return true;
}

void HttpServer::release(const std::string& address) {
  std::lock_guard lock(addressesMutex_);
  auto it = served_.find(address);
  if (it != served_.end() && --it->second == 0) served_.erase(it);
}

void HttpServer::beginUnfinished(Connection& connection) {
  if (limits_.maxUnfinished == 0) return;
  std::lock_guard lock(unfinishedMutex_);
  if (connection.listedUnfinished) return;
  if (unfinished_.size() >= limits_.maxUnfinished) {
    const auto now = Clock::now();
    auto slowest = std::min_element(unfinished_.begin(), unfinished_.end(), [now](Connection* a, Connection* b) {
      const double rateA = a->requestRate(now);
      const double rateB = b->requestRate(now);
      if (rateA != rateB) return rateA < rateB;
      return a->requestBegan() < b->requestBegan();
    });
    (*slowest)->drop();
    (*slowest)->listedUnfinished = false;
    unfinished_.erase(slowest);
  }
  unfinished_.push_back(&connection);
  connection.listedUnfinished = true;
}

void HttpServer::endUnfinished(Connection& connection) {
  std::lock_guard lock(unfinishedMutex_);
  if (!connection.listedUnfinished) return;
  connection.listedUnfinished = false;
  unfinished_.erase(std::find(unfinished_.begin(), unfinished_.end(), &connection));
}

bool HttpServer::process_and_close_socket(socket_t sock) {
  int on = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  Connection connection(*this, sock);
  std::string address;
  int port = 0;
  connection.get_remote_ip_and_port(address, port);
  if (!admit(address)) {
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return false;
  }
  struct ReleaseOnExit {
    HttpServer& server;
    const std::string& address;
    ~ReleaseOnExit() {
      Connection::current() = nullptr;
      server.release(address);
    }
  } releaseOnExit{*this, address};
  Connection::current() = &connection;
  bool ok = false;
  for (std::size_t served = 0; served < keep_alive_max_count_; ++served) {
    bool first = served == 0;
    // A connection's first request counts as unfinished from the start;
    // a kept-alive one's next request once it begins.
    if (first) connection.beginRequest();
    if (!connection.awaitRequest(first ? limits_.requestHead : limits_.keepAliveIdle, !first)) {
      break;
    }
    if (!first) connection.beginRequest();
    connection.beginHead();
    bool closed = false;
    bool last = served + 1 == keep_alive_max_count_;
    ok = process_request(connection, last, closed, [&connection](httplib::Request& req) {
      connection.endHead(req);
      takeFormLabel(req);
    });
    connection.finishRequest();
    ok = connection.flush() && ok;
    // After a head or body that did not arrive whole in time (or was
    // refused unread), what follows on the connection cannot be trusted.
    if (!ok || closed || connection.inHead() || connection.broken() || connection.closesAfterReply()) break;
  }
  connection.finishRequest();  // unlisted before its socket closes
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace localcloud
