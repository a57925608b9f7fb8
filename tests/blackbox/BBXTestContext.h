// A crash context started over a fresh report folder for one test, and
// dropped again at its end.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blackbox/BBXContext.h"
#include "blackbox/BBXHost.h"
#include "blackbox/BBXInternalReport.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace bbxtest {

// Whether this build runs under ThreadSanitizer, whose runtime cannot follow
// some of what the crash tests do on purpose (see where it is used).
inline constexpr bool kUnderThreadSanitizer = testsupport::kUnderThreadSanitizer;

class TestContext {
 public:
  explicit TestContext(lumora::BBXContextInitData data = {}, lumora::BBXCaptureHooks hooks = lumora::BBXHostCaptureHooks(),
                       bool waitForStartup = true)
      : reportDir_(home_.root() / "report") {
    std::filesystem::create_directories(reportDir_);
    data.reportPath = reportDir_.string();
    lumora::BBXContextSetCaptureHooks(std::move(hooks));
    lumora::BBXContextInitialize(&data);
    if (waitForStartup) lumora::BBXContextWaitForStartupForTesting();
  }
  ~TestContext() {
    lumora::BBXContextResetForTesting();
    lumora::BBXContextSetCaptureHooks(lumora::BBXHostCaptureHooks());
  }
  TestContext(const TestContext&) = delete;
  TestContext& operator=(const TestContext&) = delete;

  std::filesystem::path path(const std::string& name) const { return reportDir_ / name; }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<std::string> lines(const std::string& name) const {
    std::vector<std::string> result;
    std::istringstream in(read(name));
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }
  // The sections of a record file, each a parsed line.
  std::vector<nlohmann::json> sections(const std::string& name) const {
    std::vector<nlohmann::json> result;
    for (const std::string& line : lines(name)) result.push_back(nlohmann::json::parse(line));
    return result;
  }

 private:
  testsupport::TestHome home_;
  std::filesystem::path reportDir_;
};

// A crashed launch's report directory as the record writer leaves it:
// metadata and a signal record, in `directory` (which must exist).
inline std::shared_ptr<lumora::BBXInternalReport> writeCrashedReport(const std::filesystem::path& directory,
                                                                     const std::string& id,
                                                                     const std::string& apiKey = "key-1") {
  lumora::BBXContextInitData data;
  data.apiKey = apiKey;
  data.reportIdentifier = id;
  lumora::BBXContextRecordMetadata((directory / "metadata.bbxrecord").c_str(), data);
  lumora::BBXFile file;
  if (!lumora::BBXFileInitWithPath(&file, (directory / "signal.bbxrecord").c_str(), false)) return nullptr;
  lumora::BBXFileWriteSectionStart(&file, "signal");
  lumora::BBXFileWriteHashStart(&file);
  lumora::BBXFileWriteHashEntryString(&file, "name", "SIGSEGV");
  lumora::BBXFileWriteHashEnd(&file);
  lumora::BBXFileWriteSectionEnd(&file);
  lumora::BBXFileClose(&file);
  return lumora::BBXInternalReport::reportWithPath(directory.string());
}

}  // namespace bbxtest
