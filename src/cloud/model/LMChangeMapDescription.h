// Log text of the values of a record store change map ("(record, record)"),
// made only when a log line is actually written: wrap the map with
// valuesOf(map) and pass it to an LM_LOG_... call. With a limit, the values
// past it are only counted ("(a, b, ... 4998 more)").
//
// Plain helpers; the wrapper borrows the map, so use it within the log call.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "cloud/model/LMContactRelation.h"
#include "cloud/model/LMRecord.h"

namespace lumora {

template <class Map>
struct LMChangeMapValues {
  const Map& map;
  std::size_t limit;
};

template <class Map>
LMChangeMapValues<Map> valuesOf(const Map& map, std::size_t limit = std::numeric_limits<std::size_t>::max()) {
  return {map, limit};
}

inline std::string changeDescription(const LMRecord& record) { return record.description(); }

inline std::string changeDescription(const LMContactRelation& row) {
  auto text = [](const auto& value) {
    return value ? fmt::format("{}", *value) : std::string("(null)");
  };
  return fmt::format("LMContactRelation recordID:{} serverID:{} status:{}", text(row.recordID()),
                     text(row.serverID()), text(row.serverStatus()));
}

}  // namespace lumora

template <class Map>
struct fmt::formatter<lumora::LMChangeMapValues<Map>> : fmt::formatter<std::string_view> {
  template <class FormatContext>
  auto format(const lumora::LMChangeMapValues<Map>& values, FormatContext& ctx) const {
    std::string text = "(";
    std::size_t written = 0;
    for (const auto& [key, value] : values.map) {
      if (written == values.limit) {
        text += fmt::format("{}... {} more", written > 0 ? ", " : "", values.map.size() - written);
        break;
      }
      if (written++ > 0) text += ", ";
      text += lumora::changeDescription(value);
    }
    text += ")";
    return fmt::format_to(ctx.out(), "{}", text);
  }
};
