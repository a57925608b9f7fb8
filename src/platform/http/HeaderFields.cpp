#include "platform/http/HeaderFields.h"

#include <algorithm>

#include "platform/Bytes.h"

namespace platform::http {
namespace {

const char* separatorFor(std::string_view name) {
  return equalsIgnoringCase(name, "Cookie") ? "; " : ", ";
}

}  // namespace

HeaderFields::HeaderFields(std::initializer_list<Entry> entries) {
  for (const auto& [name, value] : entries) add(name, value);
}

void HeaderFields::set(std::string_view name, std::string value) {
  auto first = std::find_if(entries_.begin(), entries_.end(),
                            [&](const Entry& e) { return equalsIgnoringCase(e.first, name); });
  if (first == entries_.end()) {
    entries_.emplace_back(std::string(name), std::move(value));
    return;
  }
  first->first = std::string(name);
  first->second = std::move(value);
  entries_.erase(std::remove_if(first + 1, entries_.end(),
                                [&](const Entry& e) { return equalsIgnoringCase(e.first, name); }),
                 entries_.end());
}

void HeaderFields::add(std::string_view name, std::string value) {
  entries_.emplace_back(std::string(name), std::move(value));
}

void HeaderFields::remove(std::string_view name) {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const Entry& e) { return equalsIgnoringCase(e.first, name); }),
                 entries_.end());
}

bool HeaderFields::contains(std::string_view name) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const Entry& e) { return equalsIgnoringCase(e.first, name); });
}

std::optional<std::string> HeaderFields::value(std::string_view name) const {
  std::optional<std::string> joined;
  for (const auto& [key, value] : entries_) {
    if (!equalsIgnoringCase(key, name)) continue;
    if (joined) {
      joined->append(separatorFor(name));
      joined->append(value);
    } else {
      joined = value;
    }
  }
  return joined;
}

std::vector<std::string> HeaderFields::values(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto& [key, value] : entries_) {
    if (equalsIgnoringCase(key, name)) out.push_back(value);
  }
  return out;
}

std::vector<HeaderFields::Entry> HeaderFields::combined() const {
  std::vector<Entry> out;
  for (const auto& [key, value] : entries_) {
    auto seen = std::find_if(out.begin(), out.end(),
                             [&k = key](const Entry& e) { return equalsIgnoringCase(e.first, k); });
    if (seen == out.end()) {
      out.emplace_back(key, value);
    } else {
      seen->second.append(separatorFor(key));
      seen->second.append(value);
    }
  }
  return out;
}

}  // namespace platform::http
