#include "support/TestHome.h"

#include <stdlib.h>

#include <string>
#include <system_error>

#include "platform/AppHome.h"

namespace testsupport {

TestHome::TestHome() : previous_(platform::AppHome::root()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "lumora-test-XXXXXX").string();
  if (char* made = mkdtemp(pattern.data())) root_ = made;
  platform::AppHome::setRoot(root_);
}

TestHome::~TestHome() {
  platform::AppHome::setRoot(previous_);
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

}  // namespace testsupport
