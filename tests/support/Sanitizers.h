// Which sanitizer this build runs under, for the few tests whose subject the
// sanitizer's runtime cannot follow (each says why where it skips); and how
// long a test may wait, in real time, for work that runs on real time.
#pragma once

#include <chrono>

namespace testsupport {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kUnderAddressSanitizer = true;
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif

// How many times longer real work may take in this build than in a plain
// one: the sanitizers' runtimes check every read, write and lock,
// ThreadSanitizer's the most, and a machine busy with other work stretches
// that again. CTest's limit on each test grows by the same factor
// (cmake/Lumora.cmake).
inline constexpr int kSlowdown = kUnderThreadSanitizer ? 10 : kUnderAddressSanitizer ? 3 : 1;

// `bound` stretched by kSlowdown. Every bound a test sets, in real time, on
// waiting for work to end or for something to happen goes through here: the
// test waits on the state, callback or count it needs, and the bound keeps a
// failing test from hanging (or, where promptness is what is tested, says
// how prompt). Not for how long something must not happen, nor for a pace
// the test itself keeps.
template <class Rep, class Period>
constexpr std::chrono::duration<Rep, Period> scaled(std::chrono::duration<Rep, Period> bound) {
  return bound * kSlowdown;
}

// The same, in whole milliseconds, for poll() and other calls that take them.
template <class Rep, class Period>
constexpr int scaledMilliseconds(std::chrono::duration<Rep, Period> bound) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(scaled(bound)).count());
}

}  // namespace testsupport
