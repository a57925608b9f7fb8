// One report directory of the store: its path (which changes as the
// directory moves), its identifier (the execution identifier of the launch
// that wrote it), which record files it holds (plain files only: a link is
// none) and what its metadata says.
//
// The metadata is "metadata.bbxrecord", read once on first use and read by
// position: section 0 is the identity, 1 the host, 2 the application.
//
// Ownership: shared; the controller, processing and packaging pass it along.
// Threading: one thread at a time. Failure: a directory without an
// identifier yields no report; a missing metadata value reads as nullopt.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/dispatch/Clock.h"

namespace lumora {

class BBXInternalReport {
  struct Token {};

 public:
  // The identifier is the metadata's identity "session_id"; a metadata file
  // that holds no whole section (cut by a full disk) leaves the folder's
  // name, which is the same identifier. nullptr without one (logged).
  static std::shared_ptr<BBXInternalReport> reportWithPath(const std::string& path);
  // nullptr when either is empty.
  static std::shared_ptr<BBXInternalReport> reportWithPath(const std::string& path,
                                                          const std::string& executionIdentifier);
  BBXInternalReport(Token, std::string path, std::string identifier);

  const std::string& path() const { return path_; }
  void setPath(std::string path) { path_ = std::move(path); }
  const std::string& identifier() const { return identifier_; }
  // The directory's own name.
  std::string directoryName() const;
  std::string pathForContentFile(const std::string& name) const;
  std::string metadataPath() const;
  std::string binaryImagePath() const;

  // A crash, exception, custom exception or error record is there.
  bool needsToBeSubmitted() const;
  // A signal, Mach exception or exception record is there.
  bool isCrash() const;
  // Whether one of the named files is in the directory (stops at the first).
  bool checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& names) const;
  // The exception, Mach exception and signal records' paths, in that order,
  // whether or not they exist.
  void enumerateSymbolicatableFilesInContent(const std::function<void(const std::string&)>& block) const;

  // The count of tries at the report, kept by a mark in its directory (a
  // hidden file, never packaged, holding the number of tries so far), read
  // as a file of the kit's own: a mark that is missing or cannot be read (a
  // symbolic link, a pipe, a folder, a file that cannot be read)
  // counts none (a second name of the mark is read as the mark).
  unsigned triesSoFar() const;
  // Counts a try that was made (`triesBefore` + 1) on the mark, written anew
  // through a file renamed into its place, never through what lies there
  // (whatever it is, it is replaced). A mark that cannot be written now for
  // a reason that may pass leaves this try uncounted; false (logged) when it
  // cannot be written at all, so that the caller takes its next try as the
  // report's last rather than hold the report back for ever.
  bool countTry(unsigned triesBefore) const;

  // The sections of a metadata file; nullopt when it has none.
  static std::optional<std::vector<nlohmann::json>> readMetadataAtPath(const std::string& path);
  const std::optional<std::vector<nlohmann::json>>& metadataSections();

  std::optional<std::string> APIKey();
  std::optional<std::string> bundleVersion();
  std::optional<std::string> bundleShortVersionString();
  std::optional<platform::Clock::TimePoint> dateCreated();
  std::optional<std::string> OSVersion();
  std::optional<std::string> OSBuildVersion();
  // Never recorded in the metadata: always nullopt.
  std::optional<nlohmann::json> customKeys() const { return std::nullopt; }

 private:
  // The value at `key` of the section at `index`, when it has that name.
  const nlohmann::json* metadataValue(std::size_t index, const char* section, const char* key);
  std::optional<std::string> metadataString(std::size_t index, const char* section, const char* key);

  std::string path_;
  std::string identifier_;
  bool metadataRead_ = false;
  std::optional<std::vector<nlohmann::json>> metadataSections_;
};

}  // namespace lumora
