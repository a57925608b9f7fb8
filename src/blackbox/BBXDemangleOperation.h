// Replaces each frame's symbol by its demangled form, where it has one, and
// the demangling of single names.
// Ownership, threading: as BBXThreadArrayOperation; the class functions are
// stateless. Failure: a name that does not demangle reads as nullopt and
// stays as it was.
#pragma once

#include <optional>
#include <string>

#include "blackbox/BBXThreadArrayOperation.h"

namespace lumora {

class BBXDemangleOperation : public BBXThreadArrayOperation {
 public:
  using BBXThreadArrayOperation::BBXThreadArrayOperation;

  // "_Z…": C++; "__Z…_block_invoke…": a block inside a C++ function; "_T…":
  // Swift. nullopt for anything else, for null, or when demangling fails.
  static std::optional<std::string> demangleSymbol(const char* symbol);
  static std::optional<std::string> demangleCppSymbol(const char* symbol);
  // The C++ name between the first byte and the last "_block_invoke" (which
  // must begin at index 5 or later), with the rest of the name kept after it.
  static std::optional<std::string> demangleBlockInvokeCppSymbol(const char* symbol);
  // Swift names are demangled by a "BBXDemangler" class that a Swift
  // program brings along; this one has none, so they stay as recorded.
  static std::optional<std::string> demangleSwiftSymbol(const char* symbol);

 protected:
  void main() override;
};

}  // namespace lumora
