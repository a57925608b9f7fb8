// A fresh app home for one test: a temporary root that is removed afterwards,
// with the folder that the user's apps share (the device identifier's) in a
// temporary folder of its own beside it.
#pragma once

#include <filesystem>

namespace testsupport {

class TestHome {
 public:
  TestHome();
  ~TestHome();
  TestHome(const TestHome&) = delete;
  TestHome& operator=(const TestHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& sharedDirectory() const { return shared_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path shared_;
  std::filesystem::path previous_;
};

}  // namespace testsupport
