#include "platform/http/PhoneNetwork.h"

#include <atomic>

namespace platform::http {

namespace {
std::atomic<bool>& connected() {
  static std::atomic<bool> flag{true};
  return flag;
}
}  // namespace

void PhoneNetwork::setConnected(bool isConnected) { connected().store(isConnected); }

bool PhoneNetwork::isConnected() { return connected().load(); }

}  // namespace platform::http
