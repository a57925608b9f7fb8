// The app's log files and their upload to the feedback service.
//
// Logging: startLog() makes the one file logger of the process (files of
// 1 MiB, at most 3, never reused, rolled every 24 h) and registers it as the
// only logger; getLogDir() is where its files lie.
//
// Upload (uploadLogFiles, on each entry into the background): with a
// signed-in user, the feedback login ("tessorfeedbackapi") is made from the
// cloud login ("lumora") and logged in again through the token step; the
// current log file is rolled, the log files are listed, an upload URL is
// requested, the files and "deviceInfo.plist" are zipped and posted there,
// the upload is committed and reported, and once the report is taken the
// listed files are deleted. Every form field travels AES-encrypted under
// the feedback login's security key, with an MD5 "sign" and the request
// "signature"; replies come back encrypted the same way.
//
// Ownership: process-wide state (the file logger, the device information,
// the run in progress). Threading: startLog/stopLog/getLogDir/purgeFiles
// from any thread; the upload chain runs on the main queue (which the app
// pumps), its exchanges are sent from the global queue and their replies
// come back on the main queue; the completion runs on the main queue,
// exactly once per call. Failures: every failure ends the run with its
// completion and keeps the log files; transport failures are logged.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace lumora {

class QBFileLogger;

class QBLogUtil {
 public:
  using Completion = std::function<void()>;

  static constexpr const char* kFeedbackSid = "tessorfeedbackapi";
  static constexpr const char* kCloudSid = "lumora";
  static constexpr const char* kAppId = "3";
  static constexpr const char* kSignKey = "Rb7%mQ!xT^Lp93N*dwK_c4j-oy";
  static constexpr const char* kRequestUploadPath = "/upload/v1/requestUpload";
  static constexpr const char* kCommitUploadPath = "/upload/v1/commitUpload";
  static constexpr const char* kReportPath = "/feedback/api/v1/klodata";
  static constexpr const char* kFilePartName = "userfile";
  static constexpr const char* kDeviceInfoFileName = "deviceInfo.plist";

  static constexpr std::uint64_t kMaximumFileSize = 1024 * 1024;
  static constexpr std::size_t kMaximumNumberOfLogFiles = 3;

  // --- the file logger --------------------------------------------------

  // Removes every logger, makes a new file logger (replacing any earlier
  // one), remembers its logs directory and registers it.
  static void startLog();
  // Removes every logger; the file logger and directory stay remembered.
  static void stopLog();
  // Closes the current file so the next line begins a new one; `completion`
  // runs on the global queue when that is done (at once without a logger).
  static void rollLogFileWithCompletionBlock(Completion completion);
  // The remembered logs directory (nullopt before startLog).
  static std::optional<std::filesystem::path> getLogDir();
  // Deletes the logs directory with everything in it; failures are ignored.
  static void purgeFiles();
  static std::shared_ptr<QBFileLogger> fileLogger();
  // The file logger's log files, newest first (empty without a logger).
  static std::vector<std::string> sortedLogFileNames();

  // --- the feedback upload ------------------------------------------------

  // Runs uploadLogs on the main queue (directly when called there).
  static void uploadLogFiles(Completion completion);
  // The upload chain; a call while a run is under way completes at once
  // and sends nothing.
  static void uploadLogs(Completion completion);

  // The device information sent with each upload ("appName", "appVersion",
  // "deviceName", "model", "osVersion", "language"), read once.
  static const platform::Json& deviceInfo();
  // The feedback service's base URL and its login's callback URL.
  static std::string feedbackBaseURL();
  static std::string feedbackCallbackURL();

  // The four exchanges; each finish runs on the main queue.
  static void requestUploadURL(const std::optional<platform::Json>& info,
                               std::function<void(std::optional<std::string> uploadUrl)> finish);
  static void requestUploadLogZip(const std::filesystem::path& zipPath, const std::string& url,
                                  std::function<void(std::optional<std::string> commit)> finish);
  static void requestCommit(const std::optional<std::string>& commit,
                            std::function<void(std::optional<std::string> downloadUrl)> finish);
  static void requestFeedback(const std::optional<std::string>& downloadUrl,
                              std::function<void(bool delivered)> finish);

  // Zips the named log files and a fresh "deviceInfo.plist" into
  // "<tmp>/<seconds since 1970>.zip"; nullopt for no names or a failure.
  static std::optional<std::filesystem::path> zipLogFiles(const std::vector<std::string>& names);
  // Deletes the named files from the log directory; failures are logged and
  // the other files still deleted.
  static void removeLogFiles(const std::vector<std::string>& names);
  // The zips and the device information file an earlier run left.
  static void removeUploadLeftovers();

  // The commit text of a zip upload reply: its bytes in Base64, in lines of
  // 64 characters joined by CR LF; nullopt when they are not UTF-8 text.
  static std::optional<std::string> commitTextFromReply(const std::string& reply);

  QBLogUtil() = delete;
};

}  // namespace lumora
