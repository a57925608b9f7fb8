#include "stats/KoACrashReportStore.h"

#include "platform/storage/AppHome.h"
#include "stats/KoACrashNote.h"

namespace lumora {
namespace {

constexpr const char* kRootKey = "root";

void write(const std::filesystem::path& path, const KoACrashMessage& message) {
  platform::KeyedArchive root;
  message.encodeWithCoder(root);
  platform::KeyedArchive archive;
  archive.encodeArchive(kRootKey, root);
  (void)archive.writeToFile(path);
}

}  // namespace

KoACrashReportStore& KoACrashReportStore::shareSingletion() {
  static KoACrashReportStore* store = new KoACrashReportStore();
  return *store;
}

std::filesystem::path KoACrashReportStore::getPath() const { return platform::AppHome::tmp() / kFileName; }

std::filesystem::path KoACrashReportStore::getNotePath() const { return platform::AppHome::tmp() / kNoteName; }

void KoACrashReportStore::adoptNote() {
  std::filesystem::path note = getNotePath();
  std::error_code error;
  // Whatever lies at the note's name goes, once read if it is a note of the
  // handler's own: a link, a pipe or a folder left there would refuse every
  // later note.
  if (!std::filesystem::exists(std::filesystem::symlink_status(note, error))) return;
  if (auto message = KoACrashNote::read(note)) write(getPath(), *message);
  std::filesystem::remove_all(note, error);
}

bool KoACrashReportStore::hasCrashFile() {
  std::lock_guard lock(mutex_);
  adoptNote();
  std::error_code error;
  return std::filesystem::exists(getPath(), error);
}

bool KoACrashReportStore::deleteCrashFile() {
  std::lock_guard lock(mutex_);
  std::error_code error;
  return std::filesystem::remove(getPath(), error);
}

std::optional<KoACrashMessage> KoACrashReportStore::getCrashMessage() {
  std::lock_guard lock(mutex_);
  adoptNote();
  std::error_code error;
  if (!std::filesystem::exists(getPath(), error)) return std::nullopt;
  auto archive = platform::KeyedArchive::readFromFile(getPath());
  if (!archive) return std::nullopt;
  auto root = archive->decodeArchive(kRootKey);
  if (!root) return std::nullopt;
  return KoACrashMessage::initWithCoder(*root);
}

void KoACrashReportStore::saveCrashMessage(const KoACrashMessage& message) {
  std::lock_guard lock(mutex_);
  write(getPath(), message);
  std::error_code error;
  std::filesystem::remove(getNotePath(), error);
}

}  // namespace lumora
