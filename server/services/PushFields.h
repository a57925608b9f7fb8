// The push service's field rules: which fields a route takes, which of them
// it needs, and the form of each value; the message fields of each platform.
// Stateless; safe from any thread; nothing throws.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/http/HttpUtil.h"

namespace localcloud::pushfields {

using Check = bool (*)(const std::string& value);

struct Rule {
  const char* name;
  bool required;
  Check valid;
};

// Nothing when every field is one of `rules` (or, with `extras`, an
// "extra.<name>" field), each in its form and the required ones present;
// else the reason for refusing.
std::optional<std::string> check(const http::FormFields& fields, const std::vector<Rule>& rules,
                                 bool extras = false);

// The rules of a message for "ios" or "android", with `target` (required)
// in front.
std::vector<Rule> messageRules(const std::string& platform, Rule target);

// Value forms.
bool text(const std::string& value);          // 1 to 4096 bytes
bool name(const std::string& value);          // an alias or topic: 1 to 128 bytes, no ","
bool targets(const std::string& value);       // names joined by ",", 1 to kMaxTargets
bool decimal(const std::string& value);       // 0, 1, 2, ...
bool signedDecimal(const std::string& value);  // ..., -1, 0, 1, ...
bool hexToken(const std::string& value);      // lower-case hex, an even count of 2 to 256 digits
bool resourceId(const std::string& value);    // "ip" and six digits
bool iosPlatform(const std::string& value);   // "ios" and a version ("ios9.3")
bool clickType(const std::string& value);     // "bar:click"
bool date(const std::string& value);          // a real day as "20150301"
bool zeroOrOne(const std::string& value);

// Names joined by "," (none empty).
std::vector<std::string> split(const std::string& joined);

}  // namespace localcloud::pushfields
