// The file logger set-up, the device information, the zip and the removal
// of uploaded files. The upload chain and its exchanges are in
// QBLogUtilUpload.cpp.
#include "feedback/QBLogUtil.h"

#include <minizip/zip.h>
#include <plist/plist.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "applog/LoggerRegistry.h"
#include "feedback/QBDataUtil.h"
#include "applog/QBFileLogger.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/OwnFile.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/device/Device.h"
#include "platform/storage/PropertyList.h"
#include "platform/storage/UserDefaults.h"

namespace lumora {
namespace {

struct LogState {
  std::mutex mutex;
  std::shared_ptr<QBFileLogger> logger;
  std::optional<std::filesystem::path> directory;
};

LogState& state() {
  static LogState* instance = new LogState();  // lives as long as the process
  return *instance;
}

std::string text(const std::optional<platform::Json>& value) {
  if (!value || value->is_null()) return "";
  return value->is_string() ? value->get<std::string>() : value->dump();
}

bool isZipName(const std::string& name) {
  if (!name.ends_with(".zip") || name.size() == 4) return false;
  return std::all_of(name.begin(), name.end() - 4, [](unsigned char c) { return std::isdigit(c); });
}

// A log file is closed once it passes its size, so it ends within a line
// of it; the bound keeps anything else out of memory.
constexpr std::uint64_t kZippedFileLimit = 16 * QBLogUtil::kMaximumFileSize;

// Adds one file under `name`; false when it cannot be read or written. Only
// a file of the app's own is read: a symbolic link (to a file of the
// user's), a pipe or a folder at its name is left out, never read through
// nor waited on.
bool addFileToZip(zipFile zip, const std::filesystem::path& path, const std::string& name) {
  platform::OwnFileProblem problem = platform::OwnFileProblem::None;
  const auto contents = platform::readOwnFile(path, kZippedFileLimit, &problem);
  if (!contents) {
    if (problem == platform::OwnFileProblem::NotRegular) {
      QB_LOG_ERROR("Leaving out {}: it is no file of the app's own", name);
    }
    return false;
  }
  zip_fileinfo info{};
  std::time_t now = std::chrono::system_clock::to_time_t(platform::Clock::currentTime());
  std::tm local{};
  localtime_r(&now, &local);
  info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
  info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
  info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
  info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
  info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
  info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
  if (zipOpenNewFileInZip(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                          Z_DEFAULT_COMPRESSION) != ZIP_OK) {
    return false;
  }
  const bool ok = contents->empty() ||
                  zipWriteInFileInZip(zip, contents->data(), static_cast<unsigned>(contents->size())) == ZIP_OK;
  return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

bool writeDeviceInfo(const std::filesystem::path& path) {
  platform::plist::Node node = platform::plist::fromJson(QBLogUtil::deviceInfo());
  if (!node) return false;
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node.get(), &xml, &length);
  if (!xml) return false;
  platform::Bytes bytes(xml, xml + length);
  plist_to_xml_free(xml);
  return platform::plist::writeFileAtomically(path, bytes, 0644).ok();
}

}  // namespace

// --- the file logger ----------------------------------------------------------

void QBLogUtil::startLog() {
  LoggerRegistry::removeAllLoggers();
  auto logger = std::make_shared<QBFileLogger>();
  logger->setMaximumFileSize(kMaximumFileSize);
  logger->logFileManager()->setMaximumNumberOfLogFiles(kMaximumNumberOfLogFiles);
  {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().logger = logger;
    state().directory = logger->logFileManager()->logsDirectory();
  }
  LoggerRegistry::addLogger(logger);
}

void QBLogUtil::stopLog() { LoggerRegistry::removeAllLoggers(); }

std::shared_ptr<QBFileLogger> QBLogUtil::fileLogger() {
  std::lock_guard<std::mutex> guard(state().mutex);
  return state().logger;
}

void QBLogUtil::rollLogFileWithCompletionBlock(Completion completion) {
  auto logger = fileLogger();
  if (!logger) {
    if (completion) platform::globalQueue().async(std::move(completion));
    return;
  }
  logger->rollLogFile([completion = std::move(completion)](const std::vector<std::string>&) {
    if (completion) completion();
  });
}

std::optional<std::filesystem::path> QBLogUtil::getLogDir() {
  std::lock_guard<std::mutex> guard(state().mutex);
  return state().directory;
}

void QBLogUtil::purgeFiles() {
  auto directory = getLogDir();
  if (!directory) return;
  std::error_code ec;
  std::filesystem::remove_all(*directory, ec);
}

std::vector<std::string> QBLogUtil::sortedLogFileNames() {
  auto logger = fileLogger();
  return logger ? logger->logFileManager()->sortedLogFileNames() : std::vector<std::string>{};
}

// --- device information ---------------------------------------------------------

const platform::Json& QBLogUtil::deviceInfo() {
  static const auto& info = *new platform::Json([] {
    auto appName = platform::Bundle::infoString("CFBundleDisplayName");
    if (!appName) appName = platform::Bundle::infoString("CFBundleExecutable");
    auto languages = platform::UserDefaults::standard().arrayForKey(
        platform::UserDefaults::kAppleLanguagesKey);
    std::optional<platform::Json> language;
    if (languages && languages->is_array() && !languages->empty()) language = languages->front();
    return platform::Json{
        {"appName", appName.value_or("")},
        {"appVersion", text(platform::Bundle::infoValue("CFBundleVersion"))},
        {"deviceName", QBDataUtil::getDeviceInfoByName("hw.machine").value_or("")},
        {"model", platform::Device::model()},
        {"osVersion", platform::Device::systemVersion()},
        {"language", text(language)},
    };
  }());
  return info;
}

// --- zip and removal ------------------------------------------------------------

std::optional<std::filesystem::path> QBLogUtil::zipLogFiles(const std::vector<std::string>& names) {
  auto directory = getLogDir();
  if (names.empty() || !directory) return std::nullopt;
  removeUploadLeftovers();
  std::filesystem::path tmp = platform::AppHome::tmp();
  std::error_code ec;
  std::filesystem::create_directories(tmp, ec);
  // Written fresh each time, so the service never gets the facts of an
  // earlier version of the app.
  std::filesystem::path plist = tmp / kDeviceInfoFileName;
  bool hasPlist = writeDeviceInfo(plist);

  auto seconds = static_cast<unsigned long>(
      std::chrono::floor<std::chrono::seconds>(platform::Clock::currentTime().time_since_epoch()).count());
  std::filesystem::path zipPath = tmp / (std::to_string(seconds) + ".zip");
  zipFile zip = zipOpen(zipPath.c_str(), APPEND_STATUS_CREATE);
  if (!zip) {
    QB_LOG_ERROR("Cannot create {}", zipPath.string());
    return std::nullopt;
  }
  for (const auto& name : names) {
    if (!addFileToZip(zip, *directory / name, name)) QB_LOG_ERROR("Cannot add {} to the zip", name);
  }
  if (hasPlist && !addFileToZip(zip, plist, kDeviceInfoFileName)) {
    QB_LOG_ERROR("Cannot add {} to the zip", kDeviceInfoFileName);
  }
  if (zipClose(zip, nullptr) != ZIP_OK) {
    QB_LOG_ERROR("Cannot write {}", zipPath.string());
    std::filesystem::remove(zipPath, ec);
    return std::nullopt;
  }
  return zipPath;
}

void QBLogUtil::removeLogFiles(const std::vector<std::string>& names) {
  auto directory = getLogDir();
  if (!directory) return;
  for (const auto& name : names) {
    std::error_code ec;
    std::filesystem::remove(*directory / name, ec);
    if (ec) QB_LOG_ERROR("{}", ec.message());
  }
}

void QBLogUtil::removeUploadLeftovers() {
  std::filesystem::path tmp = platform::AppHome::tmp();
  std::error_code ec;
  std::filesystem::remove(tmp / kDeviceInfoFileName, ec);
  for (const auto& item : std::filesystem::directory_iterator(tmp, ec)) {
    if (isZipName(item.path().filename().string())) std::filesystem::remove(item.path(), ec);
  }
}

}  // namespace lumora
