// Reads a request body source to its end, for tests that look at what a
// streamed body holds. Fails the test (and returns what it has) on an error.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/Bytes.h"
#include "platform/http/Request.h"

namespace testsupport {

inline platform::Bytes readAll(const platform::http::BodySource& source) {
  platform::Bytes out;
  auto stream = source.open ? source.open() : nullptr;
  if (!stream) {
    ADD_FAILURE() << "the body cannot be opened";
    return out;
  }
  std::uint8_t chunk[4096];
  while (out.size() < source.length) {
    auto read = stream->read(chunk, sizeof chunk);
    if (!read.ok()) {
      ADD_FAILURE() << read.error().description();
      return out;
    }
    if (*read == 0) break;
    out.insert(out.end(), chunk, chunk + *read);
  }
  return out;
}

// The body a request sends: its bytes, or what its source reads.
inline platform::Bytes bodyOf(const platform::http::Request& request) {
  return request.bodySource ? readAll(*request.bodySource) : request.body;
}

}  // namespace testsupport
