#include "platform/ExitSafety.h"

#include <openssl/crypto.h>

namespace platform {

void keepCryptoThroughExit() {
  // The first start decides whether OpenSSL frees its tables from an exit
  // handler; later starts (libcurl's, the TLS library's) change nothing.
  static const bool started = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)started;
}

namespace {

// Pre-initialisers run before the initialisers of the shared libraries the
// program loads, which start OpenSSL with its exit-time cleanup if they
// come first.
void keepCryptoBeforeAnyInitialiser() { keepCryptoThroughExit(); }

[[maybe_unused]] __attribute__((used, section(".preinit_array"))) void (*const kKeepCryptoBeforeAnyInitialiser)() =
    &keepCryptoBeforeAnyInitialiser;

}  // namespace
}  // namespace platform
