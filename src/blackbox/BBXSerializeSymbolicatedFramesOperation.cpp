#include "blackbox/BBXSerializeSymbolicatedFramesOperation.h"

#include "blackbox/BBXFile.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
BBXSerializeSymbolicatedFramesOperation::BBXSerializeSymbolicatedFramesOperation(
    std::shared_ptr<BBXThreadArray> threadArray, std::string outputPath)
    : BBXThreadArrayOperation(std::move(threadArray)), outputPath_(std::move(outputPath)) {}

void BBXSerializeSymbolicatedFramesOperation::main() {
  BBXFile file;
  if (!BBXFileInitWithPathMode(&file, outputPath_.c_str(), false, true)) {
    platform::consoleLog("[Blackbox:Crash:Symbolication] Failed to create output file");
    return;
  }
  BBXFileWriteSectionStart(&file, "threads");
  BBXFileWriteArrayStart(&file);
  if (threadArray()) {
    for (const auto& thread : *threadArray()) {
      BBXFileWriteArrayStart(&file);
      for (const auto& frame : thread) {
        BBXFileWriteHashStart(&file);
        BBXFileWriteHashEntryString(&file, "symbol", frame && frame->symbol ? frame->symbol->c_str() : nullptr);
        BBXFileWriteHashEntryUint64(&file, "offset", frame ? frame->offset : 0);
        BBXFileWriteHashEntryString(&file, "library", frame && frame->library ? frame->library->c_str() : nullptr);
        BBXFileWriteHashEnd(&file);
      }
      BBXFileWriteArrayEnd(&file);
    }
  }
  BBXFileWriteArrayEnd(&file);
  BBXFileWriteSectionEnd(&file);
  BBXFileClose(&file);
}

}  // namespace lumora
