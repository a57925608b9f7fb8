#include "platform/diagnostics/ExceptionPorts.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace platform {
namespace {

constexpr const char* kPortDomain = "platform.port";
constexpr std::int64_t kInvalidName = 15;
constexpr std::int64_t kInvalidTask = 16;

struct PortEnds {
  int receive = -1;
  int send = -1;
};

std::mutex gPortMutex;
std::map<PortName, PortEnds>& gPorts = *new std::map<PortName, PortEnds>();
PortName gNextPort = 0x1003;
ExceptionPortEntry gExceptionPorts[kExceptionTypeCount];

Error portError(std::int64_t code, const char* what) { return Error(kPortDomain, code, what); }

Result<PortEnds> portEnds(PortName port) {
  std::lock_guard lock(gPortMutex);
  auto found = gPorts.find(port);
  if (found == gPorts.end()) return portError(kInvalidName, "no such port");
  return found->second;
}

}  // namespace

PortName taskSelfPort() { return 0x103; }

Result<PortName> allocateReceivePort() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return posixError(errno, "socketpair");
  std::lock_guard lock(gPortMutex);
  const PortName name = gNextPort;
  gNextPort += 0x100;
  gPorts[name] = PortEnds{fds[0], fds[1]};
  return name;
}

Status insertSendRight(PortName port) {
  Result<PortEnds> ends = portEnds(port);
  if (!ends) return ends.error();
  return Status::success();
}

void deallocatePort(PortName port) {
  std::lock_guard lock(gPortMutex);
  auto found = gPorts.find(port);
  if (found == gPorts.end()) return;
  // Shutting the receive end down wakes a receiver blocked on it.
  shutdown(found->second.receive, SHUT_RDWR);
  close(found->second.send);
  close(found->second.receive);
  gPorts.erase(found);
}

Status sendMessage(PortName port, std::span<const std::byte> message) {
  Result<PortEnds> ends = portEnds(port);
  if (!ends) return ends.error();
  ssize_t sent;
  do {
    sent = send(ends.value().send, message.data(), message.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(message.size())) return posixError(errno, "send");
  return Status::success();
}

Result<std::size_t> receiveMessage(PortName port, std::span<std::byte> buffer) {
  Result<PortEnds> ends = portEnds(port);
  if (!ends) return ends.error();
  ssize_t received;
  do {
    received = recv(ends.value().receive, buffer.data(), buffer.size(), 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return posixError(errno, "recv");
  if (received == 0) return portError(kInvalidName, "port closed");
  return static_cast<std::size_t>(received);
}

Result<std::size_t> swapExceptionPorts(PortName task, std::uint32_t mask, const ExceptionPortEntry& handler,
                                       std::span<ExceptionPortEntry> previous) {
  if (task != taskSelfPort()) return portError(kInvalidTask, "not this task");
  std::lock_guard lock(gPortMutex);
  std::size_t count = 0;
  for (std::uint32_t type = 0; type < kExceptionTypeCount; ++type) {
    if ((mask & (1u << type)) == 0) continue;
    ExceptionPortEntry& slot = gExceptionPorts[type];
    if (slot.port != kNullPort) {
      std::size_t at = 0;
      while (at < count && !(previous[at].port == slot.port && previous[at].behavior == slot.behavior &&
                             previous[at].flavor == slot.flavor)) {
        ++at;
      }
      if (at == count && count < previous.size()) previous[count++] = {0, slot.port, slot.behavior, slot.flavor};
      if (at < count) previous[at].mask |= 1u << type;
    }
    slot = {1u << type, handler.port, handler.behavior, handler.flavor};
  }
  return count;
}

Status setExceptionPorts(PortName task, std::uint32_t mask, const ExceptionPortEntry& handler) {
  Result<std::size_t> swapped = swapExceptionPorts(task, mask, handler, {});
  if (!swapped) return swapped.error();
  return Status::success();
}

ExceptionPortEntry exceptionPortFor(std::uint32_t type) {
  std::lock_guard lock(gPortMutex);
  return type < kExceptionTypeCount ? gExceptionPorts[type] : ExceptionPortEntry{};
}

}  // namespace platform
