#include "stats/KoStatNetHandle.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <memory>

#include "utils/ServiceHosts.h"

namespace lumora {

std::string KoStatNetHandle::hostOf(std::string_view text) {
  // A URL goes through the one URL parser; other text is taken up to its
  // first path, port or query separator.
  for (std::string_view scheme : {"http://", "https://"}) {
    if (text.substr(0, scheme.size()) == scheme) return ServiceHosts::hostOfURL(std::string(text));
  }
  text = text.substr(0, text.find_first_of("/?#"));
  if (auto at = text.rfind('@'); at != std::string_view::npos) text.remove_prefix(at + 1);
  return std::string(text.substr(0, text.find(':')));
}

std::optional<std::string> KoStatNetHandle::getIPAddressByHostName(std::string_view text) {
  const std::string host = hostOf(text);
  if (host.empty()) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
  char buffer[INET_ADDRSTRLEN] = {};
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  if (!inet_ntop(AF_INET, &address->sin_addr, buffer, sizeof buffer)) return std::nullopt;
  return std::string(buffer);
}

}  // namespace lumora
