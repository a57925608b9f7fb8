#include "applog/QBLogFileManagerDefault.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/storage/AppHome.h"
#include "platform/device/Bundle.h"

namespace lumora {
namespace {

constexpr const char* kExtension = ".log";
constexpr const char* kDateFormat = "%Y-%m-%d %H-%M";
// " yyyy-MM-dd HH-mm": the least that stands between the name and ".log".
constexpr std::size_t kDatePartLength = 17;

std::vector<std::string> splitAtBlanks(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t blank = text.find(' ', start);
    parts.push_back(text.substr(start, blank == std::string::npos ? std::string::npos : blank - start));
    if (blank == std::string::npos) break;
    start = blank + 1;
  }
  return parts;
}

}  // namespace

QBLogFileManagerDefault::QBLogFileManagerDefault()
    : QBLogFileManagerDefault(platform::AppHome::caches() / "Logs") {}

QBLogFileManagerDefault::QBLogFileManagerDefault(std::filesystem::path logsDirectory)
    : logsDirectory_(std::move(logsDirectory)) {}

std::filesystem::path QBLogFileManagerDefault::logsDirectory() const {
  std::error_code ec;
  std::filesystem::create_directories(logsDirectory_, ec);
  return logsDirectory_;
}

std::string QBLogFileManagerDefault::applicationName() {
  if (auto identifier = platform::Bundle::infoString("CFBundleIdentifier"); identifier && !identifier->empty()) {
    return *identifier;
  }
  return program_invocation_short_name ? program_invocation_short_name : "";
}

std::string QBLogFileManagerDefault::logFileDateText(platform::Clock::TimePoint time) {
  std::time_t seconds =
      static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count());
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::size_t size = std::strftime(text, sizeof text, kDateFormat, &local);
  return std::string(text, size);
}

std::optional<std::time_t> QBLogFileManagerDefault::logFileDateFromText(const std::string& text) {
  std::tm local{};
  const char* end = strptime(text.c_str(), kDateFormat, &local);
  if (end == nullptr || *end != '\0' || text.size() != 16) return std::nullopt;
  local.tm_isdst = -1;
  std::time_t value = std::mktime(&local);
  if (value == static_cast<std::time_t>(-1)) return std::nullopt;
  return value;
}

std::optional<QBLogFileManagerDefault::Entry> QBLogFileManagerDefault::entryFor(
    const std::filesystem::path& path) const {
  std::string name = path.filename().string();
  std::string app = applicationName();
  std::size_t extension = std::strlen(kExtension);
  if (name.size() < app.size() + kDatePartLength + extension || !name.starts_with(app) ||
      !name.ends_with(kExtension)) {
    return std::nullopt;
  }
  std::string middle = name.substr(app.size(), name.size() - app.size() - extension);
  if (middle.empty() || middle.front() != ' ') return std::nullopt;
  auto parts = splitAtBlanks(middle.substr(1));
  if (parts.size() != 2 && parts.size() != 3) return std::nullopt;
  auto date = logFileDateFromText(parts[0] + " " + parts[1]);
  if (!date) return std::nullopt;
  Entry entry{path, *date, 1};
  if (parts.size() == 3) {
    char* end = nullptr;
    entry.number = std::strtoul(parts[2].c_str(), &end, 10);
    if (parts[2].empty() || *end != '\0') return std::nullopt;
  }
  return entry;
}

bool QBLogFileManagerDefault::isLogFile(const std::string& fileName) const {
  return entryFor(fileName).has_value();
}

std::vector<QBLogFileManagerDefault::Entry> QBLogFileManagerDefault::sortedEntries() const {
  std::vector<Entry> entries;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(logsDirectory_, ec)) {
    if (!item.is_regular_file(ec)) continue;
    if (auto entry = entryFor(item.path())) entries.push_back(std::move(*entry));
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.date != b.date) return a.date > b.date;
    if (a.number != b.number) return a.number > b.number;
    return a.path > b.path;
  });
  return entries;
}

std::vector<std::filesystem::path> QBLogFileManagerDefault::sortedLogFilePaths() const {
  std::vector<std::filesystem::path> paths;
  for (auto& entry : sortedEntries()) paths.push_back(std::move(entry.path));
  return paths;
}

std::vector<std::string> QBLogFileManagerDefault::sortedLogFileNames() const {
  std::vector<std::string> names;
  for (const auto& entry : sortedEntries()) names.push_back(entry.path.filename().string());
  return names;
}

std::filesystem::path QBLogFileManagerDefault::createNewLogFile(platform::Clock::TimePoint time, int* descriptor) {
  std::filesystem::path directory = logsDirectory();
  std::string stem = applicationName() + " " + logFileDateText(time);
  for (unsigned long attempt = 1; attempt < 10000; ++attempt) {
    std::string name = attempt == 1 ? stem + kExtension : stem + " " + std::to_string(attempt) + kExtension;
    std::filesystem::path path = directory / name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return {};
    }
    if (descriptor != nullptr) {
      *descriptor = fd;
    } else {
      ::close(fd);
    }
    deleteOldLogFiles(path);
    return path;
  }
  return {};
}

void QBLogFileManagerDefault::deleteOldLogFiles() { deleteOldLogFiles({}); }

void QBLogFileManagerDefault::deleteOldLogFiles(const std::filesystem::path& keep) {
  std::size_t maximum = maximumNumberOfLogFiles();
  std::uint64_t quota = logFilesDiskQuota();
  std::uint64_t total = 0;
  std::size_t kept = 0;
  bool overQuota = false;
  for (const auto& entry : sortedEntries()) {
    std::error_code ec;
    std::uint64_t size = std::filesystem::file_size(entry.path, ec);
    if (ec) size = 0;
    bool overCount = maximum > 0 && kept >= maximum;
    // Past the quota every older file goes too.
    overQuota = overQuota || (quota > 0 && kept > 0 && total + size > quota);
    if ((overCount || overQuota) && entry.path != keep) {
      std::filesystem::remove(entry.path, ec);
      continue;
    }
    total += size;
    ++kept;
  }
}

}  // namespace lumora
