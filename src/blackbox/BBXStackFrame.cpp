#include "blackbox/BBXStackFrame.h"

#include <fmt/format.h>

namespace lumora {

std::shared_ptr<BBXStackFrame> BBXStackFrame::stackFrameWithAddress(std::uint64_t address) {
  auto frame = stackFrame();
  frame->address = address;
  return frame;
}

std::shared_ptr<BBXStackFrame> BBXStackFrame::stackFrameWithSymbol(std::string symbol) {
  auto frame = stackFrame();
  frame->symbol = std::move(symbol);
  return frame;
}

std::string BBXStackFrame::description() const {
  const std::string& name = symbol ? *symbol : "(null)";
  if (fileName) return fmt::format("{{[0x{:x}] {} - {}:{}}}", address, *fileName, name, lineNumber);
  return fmt::format("{{[0x{:x} + {}] {}}}", address, lineNumber, name);
}

}  // namespace lumora
