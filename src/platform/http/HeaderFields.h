// HTTP header fields: an ordered list of (name, value) entries whose names are
// matched without regard to ASCII case. A name may occur more than once (a
// response with several Set-Cookie lines keeps each); value() joins them the
// way the platform's header dictionaries do. Plain value type, not locked
// (one thread at a time); nothing fails.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::http {

class HeaderFields {
 public:
  using Entry = std::pair<std::string, std::string>;

  HeaderFields() = default;
  HeaderFields(std::initializer_list<Entry> entries);
  explicit HeaderFields(std::vector<Entry> entries) : entries_(std::move(entries)) {}

  // Replaces every entry of that name with one entry (kept at the position of
  // the first one it replaces, else appended).
  void set(std::string_view name, std::string value);
  // Appends a further entry of that name.
  void add(std::string_view name, std::string value);
  void remove(std::string_view name);

  bool contains(std::string_view name) const;
  // All values of the name joined with ", " ("; " for Cookie); nullopt when
  // the name is absent.
  std::optional<std::string> value(std::string_view name) const;
  // Each value of the name, in order.
  std::vector<std::string> values(std::string_view name) const;

  // Entries in the order they were set or received, names as given.
  const std::vector<Entry>& entries() const { return entries_; }
  // One line per distinct name (first occurrence's spelling and position),
  // with its values joined as value() does: what goes on the wire.
  std::vector<Entry> combined() const;

  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

 private:
  std::vector<Entry> entries_;
};

}  // namespace platform::http
