// Identifiers of fragments and events: new random UUIDs (upper-case text).
// Virtual so that tests can hand the analytics controller fixed ones.
// Stateless; any thread. Nothing fails.
#pragma once

#include <string>

#include "platform/Random.h"

namespace lumora {

class BBXAnalyticsIdentifierGenerator {
 public:
  virtual ~BBXAnalyticsIdentifierGenerator() = default;
  virtual std::string generateSessionFragmentIdentifier() { return platform::randomUUIDString(); }
  virtual std::string generateEventIdentifier() { return platform::randomUUIDString(); }
};

}  // namespace lumora
