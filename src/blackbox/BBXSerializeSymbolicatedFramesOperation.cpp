#include "blackbox/BBXSerializeSymbolicatedFramesOperation.h"

#include <cerrno>
#include <mutex>
#include <utility>

#include "blackbox/BBXFile.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

std::mutex& bbxCreateMutex() {
  static std::mutex mutex;
  return mutex;
}

BBXSerializeSymbolicatedFramesOperation::Create& bbxCreateSlot() {
  static auto& create = *new BBXSerializeSymbolicatedFramesOperation::Create();
  return create;
}

bool bbxCreate(BBXFile* file, const char* path) {
  BBXSerializeSymbolicatedFramesOperation::Create hook;
  {
    std::lock_guard lock(bbxCreateMutex());
    hook = bbxCreateSlot();
  }
  return hook ? hook(file, path) : BBXFileInitWithPathMode(file, path, false, true);
}

}  // namespace

void BBXSerializeSymbolicatedFramesOperation::setCreateForTesting(Create create) {
  std::lock_guard lock(bbxCreateMutex());
  bbxCreateSlot() = std::move(create);
}

BBXSerializeSymbolicatedFramesOperation::BBXSerializeSymbolicatedFramesOperation(
    std::shared_ptr<BBXThreadArray> threadArray, std::string outputPath)
    : BBXThreadArrayOperation(std::move(threadArray)), outputPath_(std::move(outputPath)) {}

void BBXSerializeSymbolicatedFramesOperation::main() {
  failure_ = 0;
  BBXFile file;
  errno = 0;
  if (!bbxCreate(&file, outputPath_.c_str())) {
    failure_ = errno != 0 ? errno : EIO;
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
