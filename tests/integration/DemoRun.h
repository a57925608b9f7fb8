// Runs of the demo's main job against the local cloud, for the tests of
// what it prints and the status it ends with.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "GalleryTestSupport.h"
#include "app/demo/DemoJob.h"
#include "feedback/QBLogUtil.h"
#include "platform/dispatch/Clock.h"
#include "platform/storage/AppHome.h"
#include "support/TestMedia.h"

namespace signedtest {

// What a run prints and returns: the steps on one stream, the failure once
// on the other, and the failure's kind as the status.
struct DemoRunResult {
  int status;
  std::string out;
  std::string err;
};

inline DemoRunResult demoRun(const lumora::DemoOptions& options) {
  char* outText = nullptr;
  char* errText = nullptr;
  std::size_t outSize = 0, errSize = 0;
  std::FILE* out = open_memstream(&outText, &outSize);
  std::FILE* err = open_memstream(&errText, &errSize);
  DemoRunResult result{lumora::DemoJob(options, out, err).run(), "", ""};
  std::fclose(out);
  std::fclose(err);
  result.out.assign(outText, outSize);
  result.err.assign(errText, errSize);
  std::free(outText);
  std::free(errText);
  lumora::QBLogUtil::stopLog();
  return result;
}

// Every log file's text, one after the other.
inline std::string logText() {
  std::string text;
  const auto folder = lumora::QBLogUtil::getLogDir().value_or(platform::AppHome::caches() / "Logs");
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const platform::Bytes bytes = testsupport::readFile(it->path());
    text.append(bytes.begin(), bytes.end());
  }
  return text;
}

// Pacing and retry waits move this clock on without real waiting; it
// starts at the real time.
inline std::shared_ptr<platform::ManualClock> demoClock() {
  auto clock = gallerytest::pacingFreeClock();
  clock->setTime(platform::SystemClock().now());
  return clock;
}

inline lumora::DemoOptions aliceOptions() {
  lumora::DemoOptions options;
  options.login = "alice";
  options.password = "secret";
  return options;
}

}  // namespace signedtest
