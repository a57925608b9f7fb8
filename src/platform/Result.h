// Result<T>: a value or an Error. Result<void> (alias Status) carries only the
// outcome. Accessing the wrong alternative is a programming fault (asserted).
// Plain value type, owning its value or error; use from one thread at a time.
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "platform/Error.h"

namespace platform {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(state_); }
  const T& value() const& { assert(ok()); return std::get<0>(state_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const { assert(!ok()); return std::get<1>(state_); }

  T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT

  static Result success() { return Result(); }

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const { assert(!ok()); return *error_; }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace platform
