// Whether the phone has a network at all. The window's panel takes it away
// ("Network: none"): from then on every request of the URL loading system
// fails with -1009 (not connected to the internet) before it sends
// anything, and those under way stop with it within a few tens of
// milliseconds, as on a phone without a network, until the network comes
// back.
//
// Threading: any thread (an atomic flag). Ownership: process-wide.
// Failure: none.
#pragma once

namespace platform::http {

class PhoneNetwork {
 public:
  static void setConnected(bool connected);
  static bool isConnected();
};

}  // namespace platform::http
