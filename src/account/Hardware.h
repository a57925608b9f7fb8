// Hardware facts of the current device: the model identifier, the kernel name
// and release, and readable model names for the User-Agent and the device
// registration. Reads platform::Device on every call (no caching); thread-safe;
// an unreadable kernel parameter gives nullopt.
#pragma once

#include <optional>
#include <string>

namespace lumora {

// The value of a kernel parameter ("hw.machine", "kern.ostype",
// "kern.osrelease", ...) as text; nullopt when it cannot be read or `name` is
// null.
std::optional<std::string> getSysInfoByName(const char* name);

// The model identifier, e.g. "iPhone7,2" ("hw.machine").
std::optional<std::string> machine();

// "<kernel name> <kernel release>", e.g. "Darwin 15.0.0". A part that cannot
// be read is written "(null)", as the original client sent it.
std::string ROM();

// The detailed name of the model identifier ("iPhone 4(GSM)"); the identifier
// itself when it has no name; nullopt when the identifier cannot be read.
std::optional<std::string> platformString();

// The plain name of the model identifier ("iPhone 4"); the platform's generic
// model text (platform::Device::model(), e.g. "iPhone") when it has no name.
std::string deviceModel();

}  // namespace lumora
