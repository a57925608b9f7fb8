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
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
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
  // The request line and headers are due within the limit from now on,
  // until endHead().
  void beginHead() {
    headDeadline_ = Clock::now() + server_.limits_.requestHead;
    bodyStart_.reset();
    bodyRead_ = 0;  // counts the head until it ends
    unheardLimit_ = 0;
  }
  // The body (if any) is read from now on, at the minimum rate.
  void endHead() {
    headDeadline_.reset();
    bodyStart_ = Clock::now();
    bodyRead_ = 0;
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
      if (!buffered) {
        bodyRead_ += static_cast<std::size_t>(n);
        return n;
      }
      std::size_t got = static_cast<std::size_t>(n);
      std::size_t out = std::min(size, got);
      std::memcpy(ptr, buffer_.data(), out);
      offset_ = out;
      size_ = got;
      bodyRead_ += out;
      return static_cast<ssize_t>(out);
    }
  }

  ssize_t write(const char* ptr, size_t size) override {
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
    if (!connection.awaitRequest(first ? limits_.requestHead : limits_.keepAliveIdle, !first)) {
      break;
    }
    connection.beginHead();
    bool closed = false;
    bool last = served + 1 == keep_alive_max_count_;
    ok = process_request(connection, last, closed, [&connection](httplib::Request& req) {
      connection.endHead();
      takeFormLabel(req);
    });
    ok = connection.flush() && ok;
    // After a head or body that did not arrive whole in time (or was
    // refused unread), what follows on the connection cannot be trusted.
    if (!ok || closed || connection.inHead() || connection.broken() || connection.closesAfterReply()) break;
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace localcloud
