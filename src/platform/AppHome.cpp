#include "platform/AppHome.h"

#include <cstdlib>
#include <mutex>
#include <system_error>

namespace platform {
namespace {

std::mutex& homeMutex() {
  static std::mutex m;
  return m;
}

std::filesystem::path& homeSlot() {
  static std::filesystem::path root;
  return root;
}

std::filesystem::path defaultRoot() {
  if (const char* env = std::getenv("LUMORA_HOME"); env && *env) return env;
  if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home) / ".lumora";
  return std::filesystem::temp_directory_path() / "lumora";
}

std::filesystem::path ensured(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

}  // namespace

std::filesystem::path AppHome::root() {
  std::lock_guard<std::mutex> guard(homeMutex());
  if (homeSlot().empty()) homeSlot() = defaultRoot();
  return ensured(homeSlot());
}

void AppHome::setRoot(const std::filesystem::path& root) {
  std::lock_guard<std::mutex> guard(homeMutex());
  homeSlot() = root;
}

std::filesystem::path AppHome::documents() { return ensured(root() / "Documents"); }
std::filesystem::path AppHome::caches() { return ensured(root() / "Library" / "Caches"); }
std::filesystem::path AppHome::preferences() { return ensured(root() / "Library" / "Preferences"); }
std::filesystem::path AppHome::tmp() { return ensured(root() / "tmp"); }

}  // namespace platform
