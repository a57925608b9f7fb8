// One frame of a recorded stack: the address from the crash record,
// and what symbolication and demangling learnt of it. Line numbers and file
// names are never filled here.
//
// Ownership: shared by the thread array that the processing steps pass
// along. Threading: one thread at a time. Failure: none.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumora {

class BBXStackFrame {
 public:
  static std::shared_ptr<BBXStackFrame> stackFrame() { return std::make_shared<BBXStackFrame>(); }
  static std::shared_ptr<BBXStackFrame> stackFrameWithAddress(std::uint64_t address);
  static std::shared_ptr<BBXStackFrame> stackFrameWithSymbol(std::string symbol);

  std::uint32_t lineNumber = 0;
  std::optional<std::string> symbol;
  std::optional<std::string> library;  // the image file's own name
  std::optional<std::string> fileName;
  std::uint64_t offset = 0;   // from the symbol's start
  std::uint64_t address = 0;  // as recorded
  // The address is the instruction itself (a thread's first frame: where it
  // faulted or was stopped), not a return address that follows a call.
  bool exact = false;

  // "{[0x<address>] <file> - <symbol>:<line>}" with a file name, else
  // "{[0x<address> + <line>] <symbol>}"; "(null)" for an absent text.
  std::string description() const;
};

// Threads in record order, each its frames innermost first.
using BBXThreadArray = std::vector<std::vector<std::shared_ptr<BBXStackFrame>>>;

}  // namespace lumora
