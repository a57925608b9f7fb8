#include "blackbox/BBXInternalReport.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "blackbox/BBXFile.h"
#include "platform/Bytes.h"
#include "platform/diagnostics/Console.h"
#include "platform/storage/OwnFile.h"
#include "platform/storage/PropertyList.h"

namespace lumora {
namespace {

constexpr const char* kBBXMetadataFile = "metadata.bbxrecord";
constexpr const char* kBBXBinaryImageFile = "binary_images.bbxrecord";
// The count of tries, hidden so that no listing of the report's files
// takes it; a few digits.
constexpr const char* kBBXTriesMarkFile = ".held-back";
constexpr std::uint64_t kBBXTriesMarkBytes = 16;

}  // namespace

std::shared_ptr<BBXInternalReport> BBXInternalReport::reportWithPath(const std::string& path) {
  const std::string metadataPath = (std::filesystem::path(path) / kBBXMetadataFile).string();
  auto sections = readMetadataAtPath(metadataPath);
  std::optional<std::string> identifier;
  if (sections && !sections->empty()) {
    const nlohmann::json& identity = sections->front();
    if (identity.contains("identity") && identity["identity"].is_object()) {
      const auto found = identity["identity"].find("session_id");
      if (found != identity["identity"].end() && found->is_string() && !found->get_ref<const std::string&>().empty()) {
        identifier = found->get<std::string>();
      }
    }
  } else if (std::error_code error; std::filesystem::is_regular_file(std::filesystem::symlink_status(metadataPath, error))) {
    // The metadata was begun but holds nothing whole (a full disk at
    // launch): the folder is named by the same identifier.
    const std::string name = std::filesystem::path(path).filename().string();
    if (!name.empty() && name.front() != '.') identifier = name;
  }
  if (!identifier) {
    platform::consoleLog("[Blackbox:Crash] Unable to read identifier at path " + path);
    return nullptr;
  }
  auto report = std::make_shared<BBXInternalReport>(Token{}, path, *identifier);
  report->metadataSections_ = std::move(sections);
  report->metadataRead_ = true;
  return report;
}

std::shared_ptr<BBXInternalReport> BBXInternalReport::reportWithPath(const std::string& path,
                                                                    const std::string& executionIdentifier) {
  if (path.empty() || executionIdentifier.empty()) return nullptr;
  return std::make_shared<BBXInternalReport>(Token{}, path, executionIdentifier);
}

BBXInternalReport::BBXInternalReport(Token, std::string path, std::string identifier)
    : path_(std::move(path)), identifier_(std::move(identifier)) {}

std::string BBXInternalReport::directoryName() const { return std::filesystem::path(path_).filename().string(); }

std::string BBXInternalReport::pathForContentFile(const std::string& name) const {
  return (std::filesystem::path(path_) / name).string();
}

std::string BBXInternalReport::metadataPath() const { return pathForContentFile(kBBXMetadataFile); }
std::string BBXInternalReport::binaryImagePath() const { return pathForContentFile(kBBXBinaryImageFile); }

bool BBXInternalReport::needsToBeSubmitted() const {
  return checkExistenceOfAtLeastOnceFileInArray({"custom_exception.bbxrecord", "exception.bbxrecord",
                                                 "signal.bbxrecord", "mach_exception.bbxrecord",
                                                 "errors_a.bbxrecord", "errors_b.bbxrecord"});
}

bool BBXInternalReport::isCrash() const {
  return checkExistenceOfAtLeastOnceFileInArray({"signal.bbxrecord", "mach_exception.bbxrecord", "exception.bbxrecord"});
}

bool BBXInternalReport::checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& names) const {
  // Capture writes plain files: a link of that name is no record of it.
  for (const std::string& name : names) {
    std::error_code error;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(pathForContentFile(name), error))) return true;
  }
  return false;
}

void BBXInternalReport::enumerateSymbolicatableFilesInContent(const std::function<void(const std::string&)>& block) const {
  if (!block) return;
  for (const char* name : {"exception.bbxrecord", "mach_exception.bbxrecord", "signal.bbxrecord"}) {
    block(pathForContentFile(name));
  }
}

unsigned BBXInternalReport::triesSoFar() const {
  BBXFileReadProblem problem = BBXFileReadProblem::None;
  const auto text = BBXFileReadBounded(pathForContentFile(kBBXTriesMarkFile).c_str(), kBBXTriesMarkBytes, &problem);
  unsigned tries = 0;
  if (text) {
    // The count as text, as every version wrote it; a mark that says no
    // number counts none.
    const auto parsed = std::from_chars(text->data(), text->data() + text->size(), tries);
    if (parsed.ec != std::errc()) tries = 0;
  } else if (problem != BBXFileReadProblem::Missing) {
    const std::string why = problem == BBXFileReadProblem::NotRegular ? "it is no plain file of the kit's own"
                            : problem == BBXFileReadProblem::TooLarge ? "it is larger than a count"
                                                                      : std::strerror(errno);
    platform::consoleLog("[Blackbox:Crash] The count of tries of report " + identifier_ + " cannot be read (" + why +
                         "): it starts again");
  }
  return tries;
}

bool BBXInternalReport::countTry(unsigned triesBefore) const {
  const std::filesystem::path mark = pathForContentFile(kBBXTriesMarkFile);
  // Written anew whatever lies at its name, never through it: a folder goes
  // first, and the new file is renamed over anything else (a link itself,
  // never what it leads to).
  std::error_code ignored;
  if (std::filesystem::is_directory(std::filesystem::symlink_status(mark, ignored))) {
    std::filesystem::remove_all(mark, ignored);
  }
  const auto written = platform::plist::writeFileAtomically(
      mark, platform::toBytes(std::to_string(std::uint64_t{triesBefore} + 1) + "\n"), 0600);
  if (written.ok()) return true;
  const platform::Json code = written.error().userInfo().value("errno", platform::Json(0));
  const bool mayPass = code.is_number_integer() && platform::ownFileFailureMayPass(code.get<int>());
  platform::consoleLog("[Blackbox:Crash] Unable to count a try of report " + identifier_ + ": " +
                       written.error().description() +
                       (mayPass ? "; this try goes uncounted" : "; the next try is taken as the report's last"));
  return mayPass;
}

std::optional<std::vector<nlohmann::json>> BBXInternalReport::readMetadataAtPath(const std::string& path) {
  auto sections = BBXFileReadSections(path.c_str(), false);
  if (!sections || sections->empty()) return std::nullopt;
  return sections;
}

const std::optional<std::vector<nlohmann::json>>& BBXInternalReport::metadataSections() {
  if (!metadataRead_) {
    metadataSections_ = readMetadataAtPath(metadataPath());
    metadataRead_ = true;
  }
  return metadataSections_;
}

const nlohmann::json* BBXInternalReport::metadataValue(std::size_t index, const char* section, const char* key) {
  const auto& sections = metadataSections();
  if (!sections || sections->size() <= index) return nullptr;
  const nlohmann::json& line = (*sections)[index];
  const auto body = line.find(section);
  if (body == line.end() || !body->is_object()) return nullptr;
  const auto value = body->find(key);
  return value == body->end() ? nullptr : &*value;
}

std::optional<std::string> BBXInternalReport::metadataString(std::size_t index, const char* section, const char* key) {
  const nlohmann::json* value = metadataValue(index, section, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<std::string> BBXInternalReport::APIKey() { return metadataString(0, "identity", "api_key"); }
std::optional<std::string> BBXInternalReport::bundleVersion() {
  return metadataString(2, "application", "build_version");
}
std::optional<std::string> BBXInternalReport::bundleShortVersionString() {
  return metadataString(2, "application", "display_version");
}
std::optional<std::string> BBXInternalReport::OSVersion() { return metadataString(1, "host", "os_display_version"); }
std::optional<std::string> BBXInternalReport::OSBuildVersion() {
  return metadataString(1, "host", "os_build_version");
}

std::optional<platform::Clock::TimePoint> BBXInternalReport::dateCreated() {
  const nlohmann::json* value = metadataValue(0, "identity", "started_at");
  if (value == nullptr || !value->is_number_unsigned()) return std::nullopt;
  // A start the clock's time cannot hold (a damaged record) is no date.
  constexpr auto kLatest =
      std::chrono::duration_cast<std::chrono::seconds>(platform::Clock::TimePoint::max().time_since_epoch()).count();
  const std::uint64_t seconds = value->get<std::uint64_t>();
  if (seconds > static_cast<std::uint64_t>(kLatest)) return std::nullopt;
  return platform::Clock::TimePoint{} + std::chrono::seconds(static_cast<std::int64_t>(seconds));
}

}  // namespace lumora
