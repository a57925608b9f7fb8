// What the process's worker threads may still use while it exits.
//
// Queue threads are never joined: when the main thread returns from main
// (or calls exit) one may still be drawing random bytes, encrypting, or
// inside a transfer. Nothing such a thread can reach may be torn down by
// an exit handler, so:
// - OpenSSL is started with no exit-time cleanup, ahead of everything else
//   in the process (shared libraries included: one of them may start
//   OpenSSL from its own initialiser, with the default cleanup at exit);
// - libcurl is set up once and never cleaned up;
// - the process-wide objects that workers touch are made with new and
//   never destroyed (`static auto& x = *new T`), and no logger registry is
//   shut down at exit;
// - libexiv2, which frees its tables from its own exit handlers, is read
//   only until an earlier exit handler stops the reads
//   (platform/media/MediaProperties.h).
// Its memory goes with the process anyway.
#pragma once

namespace platform {

// Starts OpenSSL with no exit-time cleanup, unless already done. Runs by
// itself before any initialiser of the process; callers that use OpenSSL
// name it so that it is linked into every program that needs it. Any
// thread.
void keepCryptoThroughExit();

}  // namespace platform
