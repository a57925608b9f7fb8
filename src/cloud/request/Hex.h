// Hexadecimal text to bytes, for the keys and digests of the block storage.
// Stateless, any thread, cannot fail beyond answering nullopt.
#pragma once

#include <optional>
#include <string_view>

#include "platform/Bytes.h"

namespace lumora {

// The bytes spelled by the text's pairs of hexadecimal digits (either case),
// from the start: one byte per two characters, a trailing odd character
// ignored (so a text of fewer than two characters gives no bytes). nullopt
// when a pair holds anything but a hexadecimal digit.
std::optional<platform::Bytes> hexData(std::string_view text);

}  // namespace lumora
