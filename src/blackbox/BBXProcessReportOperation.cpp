#include "blackbox/BBXProcessReportOperation.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "blackbox/BBXDemangleOperation.h"
#include "blackbox/BBXFile.h"
#include "blackbox/BBXSerializeSymbolicatedFramesOperation.h"
#include "blackbox/BBXSymbolicationOperation.h"
#include "platform/diagnostics/Console.h"
#include "platform/storage/OwnFile.h"

namespace lumora {

BBXProcessReportOperation::BBXProcessReportOperation(std::shared_ptr<BBXInternalReport> report,
                                                     std::shared_ptr<BBXSymbolResolver> resolver)
    : report_(std::move(report)), symbolResolver_(std::move(resolver)) {}

std::string BBXProcessReportOperation::binaryImagePath() const {
  return report_ ? report_->binaryImagePath() : std::string();
}

void BBXProcessReportOperation::main() {
  unfinished_ = false;
  if (!report_) return;
  // What an interrupted run left (a companion cut short by a full disk) is
  // no result: each is made again or not at all.
  report_->enumerateSymbolicatableFilesInContent(
      [](const std::string& path) { unlink((path + ".symbolicated").c_str()); });
  if (!symbolResolver_) return;
  BBXFileReadProblem problem = BBXFileReadProblem::None;
  if (!symbolResolver_->loadBinaryImagesFromFile(binaryImagePath(), &problem)) {
    // Read now, they would name the frames: the report is better kept than
    // sent without its companions.
    if (problem == BBXFileReadProblem::Unreadable) {
      platform::consoleLog("[Blackbox:Crash:Symbolication] Unable to read the binary images now");
      unfinished_ = true;
    }
    return;
  }
  report_->enumerateSymbolicatableFilesInContent([this](const std::string& path) {
    const auto done = symbolicateFile(path, symbolResolver_);
    if (done) return;
    platform::consoleLog("[Blackbox:Crash:Symbolication] " + done.error().description());
    unfinished_ = true;
  });
}

std::shared_ptr<BBXThreadArray> BBXProcessReportOperation::threadArrayFromFile(const std::string& path,
                                                                            BBXFileReadProblem* problem) {
  const auto sections = BBXFileReadSections(
      path.c_str(), false,
      [](nlohmann::json line) -> std::optional<nlohmann::json> {
        const auto threads = line.find("threads");
        if (threads == line.end()) return std::nullopt;
        return std::move(*threads);
      },
      problem);
  if (!sections || sections->empty() || !sections->front().is_array()) return nullptr;
  auto threadArray = std::make_shared<BBXThreadArray>();
  for (const nlohmann::json& thread : sections->front()) {
    // A thread that cannot be read stays as an empty one, so that the
    // companion's threads keep the record's order and count.
    auto& frames = threadArray->emplace_back();
    if (!thread.is_object()) continue;
    const auto stack = thread.find("stacktrace");
    if (stack == thread.end() || !stack->is_array()) continue;
    for (const nlohmann::json& address : *stack) {
      frames.push_back(BBXStackFrame::stackFrameWithAddress(address.is_number_unsigned() ? address.get<std::uint64_t>() : 0));
    }
    // The walk starts at the thread's own pc; every later frame is a return
    // address.
    if (!frames.empty()) frames.front()->exact = true;
  }
  return threadArray;
}

platform::Result<bool> BBXProcessReportOperation::symbolicateFile(
    const std::string& path, const std::shared_ptr<const BBXSymbolResolver>& resolver) {
  BBXFileReadProblem problem = BBXFileReadProblem::None;
  auto threadArray = threadArrayFromFile(path, &problem);
  if (problem == BBXFileReadProblem::Unreadable) {
    return platform::Error("BBXProcessReport", -1,
                           {{platform::Error::kLocalizedDescriptionKey,
                             "Unable to read " + std::filesystem::path(path).filename().string() + " now"}});
  }
  if (!threadArray) return false;
  BBXSymbolicationOperation symbolication(threadArray, resolver);
  BBXDemangleOperation demangle(threadArray);
  BBXSerializeSymbolicatedFramesOperation serialize(threadArray, path + ".symbolicated");
  symbolication.start();
  demangle.start();
  serialize.start();
  // A companion that could not be made now leaves the record unnamed.
  if (serialize.failure() != 0 && platform::ownFileFailureMayPass(serialize.failure())) {
    return platform::Error("BBXProcessReport", -1,
                           {{platform::Error::kLocalizedDescriptionKey,
                             "Unable to write the frames of " + std::filesystem::path(path).filename().string() +
                                 " now: " + std::strerror(serialize.failure())}});
  }
  return true;
}

}  // namespace lumora
