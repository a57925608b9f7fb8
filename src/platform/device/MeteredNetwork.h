// Whether the system marks the connection it uses as metered (paid by the
// amount, as mobile data is). Asked of NetworkManager, where it runs: its
// "Metered" flag for the primary connection, read over the system bus with
// busctl, so no bus library is linked. NetworkManager guesses the flag for
// links it cannot be told about (a mobile modem, a phone's tethering are
// metered; Ethernet and ordinary Wi-Fi are not) and the user may set it per
// connection. Where no NetworkManager answers, nothing is known and the
// caller decides by the links themselves.
//
// Threading: any thread; one question at a time, its answer kept for a few
// seconds of the platform clock. Failures: a missing busctl, a bus or
// service that does not answer in time, or a reply that does not parse all
// read as unknown.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

namespace platform {

class MeteredNetwork {
 public:
  // true: metered (marked or guessed so); false: unmetered (likewise);
  // nullopt: unknown.
  static std::optional<bool> systemMetered();
  // Drops the answer kept, so the next question asks again (a link came
  // or went, and the connection in use may be another).
  static void forgetAnswer();

  // The answer to "busctl get-property ... Metered" ("u N", N as
  // NetworkManager numbers it: 1 yes, 2 no, 3 guessed yes, 4 guessed no,
  // 0 unknown).
  static std::optional<bool> parseMeteredReply(std::string_view reply);

  // Tests: answers in place of NetworkManager (nullptr: ask it again).
  static void setReaderForTesting(std::function<std::optional<bool>()> reader);
};

}  // namespace platform
