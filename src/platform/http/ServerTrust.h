// A server's certificate chain put to the app while a TLS connection is
// being set up, and the app's answer: trust it (the app has evaluated it
// itself), let the system decide as it would without the app, or cancel the
// request. Answering "use credential" still leaves the host-name check in
// force. Plain values.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Bytes.h"

namespace platform::http {

enum class ChallengeDisposition {
  UseCredential = 0,
  PerformDefaultHandling = 1,
  CancelChallenge = 2,
};

struct ServerTrust {
  std::string host;
  // The chain as the server sent it, DER, the server's own certificate first.
  std::vector<Bytes> certificates;
};

// Called on the transfer's thread during the handshake; it may block for a
// while. A request that has one never reuses a connection or a TLS session,
// so every request's chain is put to it.
using ServerTrustHandler = std::function<ChallengeDisposition(const ServerTrust&)>;

}  // namespace platform::http
