#include "platform/storage/DamagedStore.h"

#include <chrono>
#include <string>
#include <system_error>

#include "platform/dispatch/Clock.h"

namespace platform {

bool isMissingOrPlainFile(const std::filesystem::path& store) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::symlink_status(store, ec);
  if (status.type() == std::filesystem::file_type::not_found) return true;
  return !ec && status.type() == std::filesystem::file_type::regular;
}

bool moveDamagedStoreAside(const std::filesystem::path& store) {
  const auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                         Clock::current()->now().time_since_epoch())
                         .count();
  const std::string aside = store.string() + ".unreadable-" + std::to_string(stamp);
  std::error_code ec;
  std::filesystem::rename(store, aside, ec);
  if (ec) return false;
  for (const char* journal : {"-wal", "-shm", "-journal"}) {
    const std::filesystem::path file = store.string() + journal;
    std::error_code ignored;
    if (std::filesystem::symlink_status(file, ignored).type() != std::filesystem::file_type::not_found) {
      std::filesystem::rename(file, aside + journal, ignored);
    }
  }
  return true;
}

}  // namespace platform
