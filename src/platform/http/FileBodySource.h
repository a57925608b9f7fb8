// A request body read from a file as it is sent: the file's length now, and
// the file opened afresh for each send.
// Stateless; any thread. Failure: nullopt when the file cannot be read now;
// a file that shrinks or vanishes before the send fails that send.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/http/Request.h"

namespace platform::http {

std::optional<BodySource> fileBodySource(const std::filesystem::path& file);

}  // namespace platform::http
