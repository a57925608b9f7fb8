// A fresh app home for one test: a temporary root that is removed afterwards.
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

 private:
  std::filesystem::path root_;
  std::filesystem::path previous_;
};

}  // namespace testsupport
