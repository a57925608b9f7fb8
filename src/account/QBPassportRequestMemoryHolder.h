// Keeps running account requests (and CA requests) alive until their
// exchange ends: the connection adds its request when it starts and removes
// it when it finishes, so a caller may drop its reference right after
// connect().
//
// One process-wide set, created on first use, behind a lock: connections on
// different threads add and remove at once. A request never removed stays
// alive for the life of the process. Null pointers are ignored.
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_set>

namespace lumora {

class QBPassportRequest;

class QBPassportRequestMemoryHolder {
 public:
  QBPassportRequestMemoryHolder() = delete;

  using RequestSet = std::unordered_set<std::shared_ptr<void>>;

  // A snapshot of the set.
  static RequestSet sharedRequestSet();
  static bool contains(const std::shared_ptr<void>& object);
  static std::size_t count();

  static void addQBPassportRequest(const std::shared_ptr<QBPassportRequest>& request);
  static void removeQBPassportRequest(const std::shared_ptr<QBPassportRequest>& request);
  static void addQBPassportCARequest(const std::shared_ptr<void>& request);
  static void removeQBPassportCARequest(const std::shared_ptr<void>& request);
};

}  // namespace lumora
