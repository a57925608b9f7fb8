#include "blackbox/BBXSymbolResolver.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>

#include "blackbox/BBXFile.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

bool bbxIsAddress(const nlohmann::json& image, const char* key) {
  const auto value = image.find(key);
  return value != image.end() && value->is_number_unsigned();
}

std::uint64_t bbxAddress(const nlohmann::json& image, const char* key) { return image.at(key).get<std::uint64_t>(); }

}  // namespace

bool BBXSymbolResolver::loadBinaryImagesFromFile(const std::string& path, BBXFileReadProblem* problem) {
  if (problem != nullptr) *problem = BBXFileReadProblem::Missing;
  if (path.empty()) return false;
  const auto sections = BBXFileReadSections(path.c_str(), false, {}, problem);
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

const BBXSymbolResolver::LoadedImage* BBXSymbolResolver::loadedImageForUUID(const std::string& uuid) const {
  auto found = loadedImages_.find(uuid);
  if (found == loadedImages_.end()) {
    std::optional<LoadedImage> loaded;
    if (auto image = BBXBinaryImageLoadedImageForUUID(uuid.c_str())) {
      loaded.emplace();
      loaded->bias = image->bias;
      loaded->symbols = BBXElfSymbolTable::fromFile(image->path);
    }
    found = loadedImages_.emplace(uuid, std::move(loaded)).first;
  }
  return found->second ? &*found->second : nullptr;
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
  const std::uint64_t moved = details.loadAddress + (frame.address - bbxAddress(*image, "base"));
  // A return address follows its call: the byte before it is the call's.
  const std::uint64_t lookup = frame.exact || moved == 0 ? moved : moved - 1;
  std::optional<std::string> symbol;
  std::optional<std::uint64_t> start;
  const LoadedImage* loaded = loadedImageForUUID(uuid->get<std::string>());
  if (loaded != nullptr && loaded->symbols) {
    if (auto found = loaded->symbols->symbolForAddress(lookup - loaded->bias)) {
      symbol = std::string(found->name);
      start = found->start + loaded->bias;
    }
  } else {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(lookup), &info) == 0) return false;
    if (info.dli_sname != nullptr) symbol = info.dli_sname;
    if (info.dli_saddr != nullptr) start = reinterpret_cast<std::uint64_t>(info.dli_saddr);
  }
  // Only from a symbol that was found: without one there is no start.
  if (symbol && start && moved > *start) frame.offset = moved - *start;
  if (symbol) frame.symbol = std::move(symbol);
  const auto path = image->find("path");
  if (path != image->end() && path->is_string()) {
    frame.library = std::filesystem::path(path->get<std::string>()).filename().string();
  }
  return true;
}

}  // namespace lumora
