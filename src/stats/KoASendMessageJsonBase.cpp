#include "stats/KoASendMessageJsonBase.h"

#include <fmt/format.h>

namespace lumora {

std::string millisecondsText(double seconds) { return fmt::format("{:.0f}", seconds * 1000); }

}  // namespace lumora
