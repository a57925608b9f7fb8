// A request body read from a file of the program's own as it is sent (a
// crash report package): the file is opened once, as
// platform::openOwnFile opens it (never through a symbolic link, never
// waiting on a pipe), its length taken from that descriptor, and each
// send reads that same file from its start, whatever lies at the name by
// then. The descriptor is closed with the last copy of the source.
// Stateless otherwise; any thread. Failure: nullopt when no file of the
// program's own can be opened at the name now (errno tells why; see
// platform::notOwnFile); a file that shrinks before the send fails that
// send.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/http/Request.h"

namespace platform::http {

std::optional<BodySource> fileBodySource(const std::filesystem::path& file);

}  // namespace platform::http
