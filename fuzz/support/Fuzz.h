// Helpers of the fuzz targets: a check that stops the run (libFuzzer keeps
// the input that broke it) and views of the input bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

// A property that must hold for every input; a broken one aborts, which
// libFuzzer reports as a crash and saves the input.
#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (false)

namespace fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

inline platform::Bytes bytes(const std::uint8_t* data, std::size_t size) {
  return platform::Bytes(data, data + size);
}

}  // namespace fuzz
