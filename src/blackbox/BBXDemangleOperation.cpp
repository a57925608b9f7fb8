#include "blackbox/BBXDemangleOperation.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace lumora {
namespace {

constexpr std::string_view kBBXBlockInvoke = "_block_invoke";
constexpr std::size_t kBBXBlockInvokeMinimumIndex = 5;

}  // namespace

std::optional<std::string> BBXDemangleOperation::demangleSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  const std::string_view name(symbol);
  if (name.starts_with("_Z")) return demangleCppSymbol(symbol);
  if (name.starts_with("__Z")) return demangleBlockInvokeCppSymbol(symbol);
  if (name.starts_with("_T")) return demangleSwiftSymbol(symbol);
  return std::nullopt;
}

std::optional<std::string> BBXDemangleOperation::demangleCppSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  if (demangled == nullptr) return std::nullopt;
  std::string result(demangled);
  std::free(demangled);
  if (status != 0) return std::nullopt;
  return result;
}

std::optional<std::string> BBXDemangleOperation::demangleBlockInvokeCppSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  const std::string name(symbol);
  const std::size_t at = name.rfind(kBBXBlockInvoke);
  if (at == std::string::npos || at < kBBXBlockInvokeMinimumIndex) return std::nullopt;
  // Without the first "_", "__Z…" is a plain C++ name.
  const auto function = demangleCppSymbol(name.substr(1, at - 1).c_str());
  if (!function) return std::nullopt;
  return *function + name.substr(at);
}

std::optional<std::string> BBXDemangleOperation::demangleSwiftSymbol(const char*) { return std::nullopt; }

void BBXDemangleOperation::main() {
  enumerateFramesWithBlock([](BBXStackFrame& frame) {
    if (!frame.symbol) return;
    if (auto demangled = demangleSymbol(frame.symbol->c_str())) frame.symbol = std::move(*demangled);
  });
}

}  // namespace lumora
