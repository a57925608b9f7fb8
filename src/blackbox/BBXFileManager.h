// The crash reports' directory tree under the app's caches:
//
//   Library/Caches/com.blackbox.data/<bundle id>/      root
//     v3/                                              structure (and the launch marker)
//       active/<execution id>/                         the report of each launch, written there
//       pending/                                       never made by launch preparation
//       processing/<execution id>/                     reports being symbolicated and packaged
//       prepared/<boundary>.multipartmime              upload packages
//       refused/<n>-<name>                             reports and packages set aside
//     sendable/                                        a legacy layout: the whole root goes
//
// A report or package that can never go through (the service refused it
// for what it is) is moved to "refused" under a numbered name rather than
// deleted or tried for ever; the newest kMaxRefusedItems are kept there, the
// oldest dropped.
//
// Every file operation on the tree goes through here. Listings and the bulk
// moves and removals skip hidden entries (names beginning with "."); they
// list in name order. A move never replaces what is already at its
// destination. The store holds no links: a link found in a listing, or in
// the place of one of its folders (the data folder and the root above the
// structure folder included), is removed (the link itself), so that nothing
// outside the store is read or written through one.
//
// Ownership: a plain value; it holds only its root. Threading: no locking of
// its own; the crash-reporting controller's work queue and the launch thread
// are its users. Failure: nothing throws; each step logs its failure to the
// console and answers false or nullopt.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumora {

class BBXInternalReport;

class BBXFileManager {
 public:
  static constexpr std::size_t kMaxRefusedItems = 10;

  // (full path, extension without its dot; "" for none)
  using FileBlock = std::function<void(const std::string& path, const std::string& extension)>;
  // The report is null when the directory has no readable identifier.
  using ReportBlock = std::function<void(const std::shared_ptr<BBXInternalReport>& report, const std::string& path)>;

  // The root from the app home's caches and the sanitised bundle identifier;
  // nothing is created yet.
  BBXFileManager();

  const std::string& rootPath() const { return rootPath_; }
  // The sanitised bundle identifier ("" without one).
  static std::string pathNamespace();

  std::string structurePath() const;
  std::string activePath() const;
  std::string pendingPath() const;
  std::string processingPath() const;
  std::string preparedPath() const;
  std::string refusedPath() const;

  std::vector<std::string> activePathContents() const;
  std::vector<std::string> processingPathContents() const;
  std::vector<std::string> preparedPathContents() const;

  // With its missing parents; true when it already exists. A link in its
  // place is removed first.
  bool createDirectoryAtPath(const std::string& path) const;
  // A file or a whole directory; false when nothing is there.
  bool removeItemAtPath(const std::string& path) const;
  // Removes every listed entry; false if one failed (the others still go).
  bool removeContentsOfDirectoryAtPath(const std::string& path) const;
  // Into `directory` under the item's own name; false when an argument is
  // empty, or something of that name is already there.
  bool moveItemAtPath(const std::string& path, const std::string& directory) const;
  // One listed entry after the other; stops at the first failure (false).
  bool moveItemsFromDirectory(const std::string& from, const std::string& to) const;
  // The listed entries, in order; nothing for an unreadable directory.
  void enumerateFilesInDirectory(const std::string& directory, const FileBlock& block) const;
  std::vector<std::string> contentsOfDirectory(const std::string& directory) const;
  // The same (nothing for a missing directory), or nullopt (logged) when
  // the directory cannot be listed now or whole (too many open files, say).
  std::optional<std::vector<std::string>> listDirectory(const std::string& directory) const;
  // Of the entry itself: a link is not followed.
  std::optional<std::uint64_t> fileSizeAtPath(const std::string& path) const;

  // Creates the structure folder, active, processing and prepared, in that
  // order (a link in the place of the data folder or the root goes first);
  // false at the first that fails.
  bool prepareForNewLaunch() const;
  // The new directory in active; nullopt when it cannot be made or the
  // identifier is no plain name.
  std::optional<std::string> setupNewPathForExecutionIdentifier(const std::string& identifier) const;
  // With root/"sendable" present, the whole root goes.
  void removeLegacyDirectories() const;
  // Moves a report directory or package into "refused" (made when missing)
  // and drops the oldest there beyond kMaxRefusedItems; false when it could
  // not be moved (it is then removed, so that it is not tried again).
  bool moveItemAside(const std::string& path) const;
  // Removes what an interrupted packaging left in "prepared" (hidden
  // ".partial" files).
  void removePartialPackages() const;

  void enumerateReportsInProcessingDirectory(const ReportBlock& block) const;
  void enumerateFilesInActiveDirectory(const FileBlock& block) const;
  void enumerateFilesInPreparedDirectory(const FileBlock& block) const;

  bool moveProcessingContentsToPrepared() const;
  bool movePendingToProcessing() const;
  bool removeContentsOfProcessingPath() const;
  bool removeContentsOfPendingPath() const;
  // Empties processing, pending, prepared, active and refused; each is
  // attempted, true only if all succeed.
  bool removeContentsOfAllPaths() const;

 private:
  // Removes a link in the place of the data folder or the root (where the
  // launch's preparation makes real folders again); false when one stays.
  bool removeLinksAboveStructure() const;

  std::string rootPath_;
};

}  // namespace lumora
