// Raw HTTP bytes to the local cloud: each input is written to a fresh
// loopback connection to an in-process server (cpp-httplib's request
// parsing under our HttpServer, then the account pages, the signed layer
// and the services) and the reply is read to its end. "{token}" in the
// input stands for the account's live "lumora" service token, so requests
// can get past the cookie check. The admin API is left alone (it injects
// delays and switches services off). A reply must end: the server closes
// the connection once the input has ended.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/http/Url.h"
#include "support/Fuzz.h"
#include "support/LocalCloud.h"

namespace {

// The admin routes, however the path is escaped (the server decodes once).
bool reachesAdmin(std::string_view input) {
  std::string decoded;
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] == '%' && i + 2 < input.size() && platform::hexDigitValue(input[i + 1]) >= 0 &&
        platform::hexDigitValue(input[i + 2]) >= 0) {
      decoded += static_cast<char>(platform::hexDigitValue(input[i + 1]) * 16 +
                                   platform::hexDigitValue(input[i + 2]));
      i += 2;
    } else {
      decoded += input[i];
    }
  }
  return decoded.find("_admin") != std::string::npos;
}

std::string withToken(std::string_view input, const std::string& token) {
  std::string out(input);
  for (std::size_t at = out.find("{token}"); at != std::string::npos; at = out.find("{token}", at + token.size())) {
    out.replace(at, 7, token);
  }
  return out;
}

// A connection to the server. The server closes first, so each connection
// leaves a closed one waiting out its time on the server's side; at a few
// hundred inputs a second those would use up the ports of one client
// address, so the client side takes turns among the loopback addresses
// 127.0.0.2 to 127.0.0.251.
int connectTo(int port) {
  static std::uint32_t turn = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + turn++ % 250);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
      return fd;
    }
    ::close(fd);
  }
  return -1;
}

// Sends the bytes, ends the sending side and reads until the server closes.
void exchange(int port, const std::string& bytes) {
  int fd = connectTo(port);
  FUZZ_CHECK(fd >= 0);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may refuse and close before reading it all
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  char buffer[16384];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    FUZZ_CHECK(left.count() > 0);  // the server kept a finished input's connection open
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::LocalCloud cloud;
  static std::size_t runs = 0;
  if (++runs % 100000 == 0) cloud.renew();
  const std::string_view input = fuzz::text(data, size);
  if (reachesAdmin(input)) return 0;
  exchange(cloud.port(), withToken(input, cloud.login("lumora").serviceToken));
  return 0;
}
