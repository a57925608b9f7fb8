// Helpers of the fuzz targets: a check that stops the run (libFuzzer keeps
// the input that broke it) and views of the input bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// A new directory for what a target stores: under $LUMORA_FUZZ_SCRATCH
// (which the run script makes and removes), else in /dev/shm when there is
// one. The stores commit every write to disk, which in memory costs
// nothing, and millions of inputs neither wear the disk nor fill it.
inline std::filesystem::path scratchDirectory(const std::string& name) {
  std::error_code ignored;
  const char* given = std::getenv("LUMORA_FUZZ_SCRATCH");
  std::string base = given && *given ? given
                     : std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm"
                                                                          : "/tmp";
  std::string pattern = base + "/lumora-fuzz-" + name + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

}  // namespace fuzz
