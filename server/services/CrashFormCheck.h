// What the statistics service demands of a crash record form ("/kocrash"):
// "app_id", "app_key", "device_os", "device_model", "app_version",
// "crash_exception_type" and "crash_callstack" not empty; "app_channel"
// present (empty when the app never set one); "device_uuid" not empty when
// sent; "app_start_time" and "app_crash_time" whole milliseconds (decimal
// digits only); "crash_exception_desc" the description, one space and the
// upper-case MD5 of "crash_callstack".
// Stateless; any thread.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace localcloud {

// True for a non-empty text of decimal digits only.
bool isWholeNumber(const std::string& text);

// Why the form is refused; nullopt when it passes.
std::optional<std::string> crashFormProblem(const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace localcloud
