#include "support/TestHome.h"

#include <stdlib.h>

#include <string>
#include <system_error>

#include "platform/storage/AppHome.h"
#include "platform/device/DeviceIdentifier.h"

namespace testsupport {

namespace {

std::filesystem::path temporaryFolder(const char* name) {
  std::string pattern = (std::filesystem::temp_directory_path() / name).string();
  char* made = mkdtemp(pattern.data());
  return made ? std::filesystem::path(made) : std::filesystem::path();
}

}  // namespace

TestHome::TestHome()
    : root_(temporaryFolder("lumora-test-XXXXXX")),
      shared_(temporaryFolder("lumora-shared-XXXXXX")),
      previous_(platform::AppHome::root()) {
  platform::AppHome::setRoot(root_);
  platform::DeviceIdentifier::setSharedDirectory(shared_);
}

TestHome::~TestHome() {
  platform::AppHome::setRoot(previous_);
  platform::DeviceIdentifier::setSharedDirectory(std::nullopt);
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
  std::filesystem::remove_all(shared_, ec);
}

}  // namespace testsupport
