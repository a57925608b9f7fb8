// The exception part of a statistics crash record: the exception's name or
// the signal's description, the exception's reason or "NULL" for a signal,
// and the call stack, one text per frame, innermost first.
// Plain value; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/storage/KeyedArchive.h"

namespace lumora {

class KoACMException {
 public:
  static constexpr const char* kTypeKey = "EXCEPTION_TYPE";
  static constexpr const char* kCodesKey = "EXCEPTION_CODES";
  static constexpr const char* kCallStackKey = "CALL_STACK";

  std::optional<std::string> strType;
  std::optional<std::string> strDesc;
  std::optional<std::vector<std::string>> arrCallStack;

  void encodeWithCoder(platform::KeyedArchive& coder) const;
  static KoACMException initWithCoder(const platform::KeyedArchive& coder);
  // "\n", then "KEY:value \n" for the type, the codes and the call stack
  // (absent values "(null)"; the stack as a list: "(", one quoted frame per
  // line, ")").
  std::string description() const;
};

}  // namespace lumora
