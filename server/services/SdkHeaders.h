// The headers every request of the crash-reporting SDK carries (its user
// agent, client id and versions, developer token, API key, Accept,
// Accept-Charset and two equal language headers), each sent once.
// Stateless; any thread.
#pragma once

#include <httplib.h>

#include <optional>
#include <string>

namespace localcloud {

// The one value of a header sent once, else nullopt.
std::optional<std::string> onceHeader(const httplib::Request& req, const char* name);
// What is wrong with the SDK's headers; nullopt when nothing.
std::optional<std::string> sdkHeaderProblem(const httplib::Request& req);

}  // namespace localcloud
