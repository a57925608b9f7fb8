#include "blackbox/BBXSymbolResolver.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>

#include "blackbox/BBXFile.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

// A return address this far back from a symbol's first byte lies inside the
// function whose last instruction was the call.
constexpr std::uint64_t kBBXCallBackStep = 2;

bool bbxIsAddress(const nlohmann::json& image, const char* key) {
  const auto value = image.find(key);
  return value != image.end() && value->is_number_unsigned();
}

std::uint64_t bbxAddress(const nlohmann::json& image, const char* key) { return image.at(key).get<std::uint64_t>(); }

}  // namespace

bool BBXSymbolResolver::loadBinaryImagesFromFile(const std::string& path) {
  if (path.empty()) return false;
  const auto sections = BBXFileReadSections(path.c_str(), false);
  if (!sections || sections->empty()) {
    platform::consoleLog("[Blackbox:Crash:SymbolResolver] failed to read binary image file " + path);
    return false;
  }
  binaryImages_.clear();
  for (const nlohmann::json& section : *sections) {
    const auto load = section.find("load");
    if (load == section.end() || !load->is_object()) continue;
    // A null (or otherwise unusable) base or size places nothing.
    if (bbxIsAddress(*load, "base") && bbxIsAddress(*load, "size")) binaryImages_.push_back(*load);
  }
  std::stable_sort(binaryImages_.begin(), binaryImages_.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
    return bbxAddress(a, "base") < bbxAddress(b, "base");
  });
  return true;
}

std::optional<nlohmann::json> BBXSymbolResolver::loadedBinaryImageForPC(std::uint64_t pc) const {
  for (const nlohmann::json& image : binaryImages_) {
    const std::uint64_t base = bbxAddress(image, "base");
    if (base <= pc && pc - base < bbxAddress(image, "size")) return image;
  }
  return std::nullopt;
}

bool BBXSymbolResolver::fillInImageDetails(BBXBinaryImageDetails* details, const std::string& uuid) const {
  // An image without a build-id records "", which says nothing of which
  // image it was: matching it to another such image would name wrongly.
  if (uuid.empty() || details == nullptr) return false;
  return BBXBinaryImageFindImageForUUID(uuid.c_str(), details);
}

std::shared_ptr<BBXStackFrame> BBXSymbolResolver::frameForAddress(std::uint64_t address) const {
  auto frame = BBXStackFrame::stackFrameWithAddress(address);
  return updateStackFrame(*frame) ? frame : nullptr;
}

bool BBXSymbolResolver::updateStackFrame(BBXStackFrame& frame) const {
  if (frame.address == 0) return false;
  const auto image = loadedBinaryImageForPC(frame.address);
  if (!image) return false;
  const auto uuid = image->find("uuid");
  BBXBinaryImageDetails details{};
  if (uuid == image->end() || !uuid->is_string() || !fillInImageDetails(&details, uuid->get<std::string>())) {
    return false;
  }
  std::uint64_t moved = details.loadAddress + (frame.address - bbxAddress(*image, "base"));
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(moved), &info) == 0) return false;
  if (info.dli_saddr != nullptr && reinterpret_cast<std::uint64_t>(info.dli_saddr) == moved) {
    moved -= kBBXCallBackStep;
    info = Dl_info{};
    if (dladdr(reinterpret_cast<void*>(moved), &info) == 0) return false;
  }
  if (info.dli_sname != nullptr) frame.symbol = info.dli_sname;
  // Only from a symbol that was found: without one there is no start.
  const auto start = reinterpret_cast<std::uint64_t>(info.dli_saddr);
  if (info.dli_saddr != nullptr && moved > start) frame.offset = moved - start;
  const auto path = image->find("path");
  if (path != image->end() && path->is_string()) {
    frame.library = std::filesystem::path(path->get<std::string>()).filename().string();
  }
  return true;
}

}  // namespace lumora
