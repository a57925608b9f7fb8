// An ordered list of labelled values (phones, e-mails, dates, addresses...),
// the address book's multi-value. Each entry has an identifier that stays the
// same while the entry exists, across edits, saves and reloads; a removed
// entry's identifier is not handed out again by the same list.
//
// A plain value type: copy it from a person, edit the copy, set it back.
// Not thread-safe on its own (like any value). Failure: an index out of
// range is refused (false); nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::addressbook {

using MultiValueIdentifier = std::int32_t;
inline constexpr MultiValueIdentifier kInvalidMultiValueIdentifier = -1;

template <class T>
struct MultiValueEntry {
  MultiValueIdentifier identifier = kInvalidMultiValueIdentifier;
  std::optional<std::string> label;  // nullopt: the entry has no label
  T value{};

  friend bool operator==(const MultiValueEntry&, const MultiValueEntry&) = default;
};

template <class T>
class MultiValue {
 public:
  using Entry = MultiValueEntry<T>;

  MultiValue() = default;

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Entry& operator[](std::size_t index) const { return entries_[index]; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  const std::vector<Entry>& entries() const { return entries_; }

  // Appends an entry; returns its new identifier.
  MultiValueIdentifier add(T value, std::optional<std::string> label = std::nullopt) {
    return insert(entries_.size(), std::move(value), std::move(label));
  }

  // Inserts before `index` (clamped to the end); returns the new identifier.
  MultiValueIdentifier insert(std::size_t index, T value, std::optional<std::string> label = std::nullopt) {
    if (index > entries_.size()) index = entries_.size();
    MultiValueIdentifier id = nextIdentifier_++;
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(index),
                    Entry{id, std::move(label), std::move(value)});
    return id;
  }

  // False when `index` is out of range.
  bool remove(std::size_t index) {
    if (index >= entries_.size()) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }
  bool replaceValue(std::size_t index, T value) {
    if (index >= entries_.size()) return false;
    entries_[index].value = std::move(value);
    return true;
  }
  bool replaceLabel(std::size_t index, std::optional<std::string> label) {
    if (index >= entries_.size()) return false;
    entries_[index].label = std::move(label);
    return true;
  }

  std::optional<std::size_t> indexOf(MultiValueIdentifier identifier) const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].identifier == identifier) return i;
    }
    return std::nullopt;
  }

  std::vector<T> values() const {
    std::vector<T> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) out.push_back(e.value);
    return out;
  }

  // The identifier the next added entry gets (kept by the store so that
  // identifiers are not reused after a reload).
  MultiValueIdentifier nextIdentifier() const { return nextIdentifier_; }

  // Rebuilds a list as stored: entries with their identifiers. Entries with
  // an invalid or repeated identifier get fresh ones.
  static MultiValue fromEntries(std::vector<Entry> entries, MultiValueIdentifier nextIdentifier = 0) {
    MultiValue mv;
    MultiValueIdentifier next = nextIdentifier < 0 ? 0 : nextIdentifier;
    for (const auto& e : entries) {
      if (e.identifier >= next) next = e.identifier + 1;
    }
    std::vector<MultiValueIdentifier> seen;
    for (auto& e : entries) {
      bool repeated = false;
      for (auto s : seen) repeated = repeated || s == e.identifier;
      if (e.identifier < 0 || repeated) e.identifier = next++;
      seen.push_back(e.identifier);
    }
    mv.entries_ = std::move(entries);
    mv.nextIdentifier_ = next;
    return mv;
  }

  // Equal entries (identifiers, labels, values) in the same order.
  friend bool operator==(const MultiValue& a, const MultiValue& b) { return a.entries_ == b.entries_; }

 private:
  std::vector<Entry> entries_;
  MultiValueIdentifier nextIdentifier_ = 0;
};

}  // namespace platform::addressbook
