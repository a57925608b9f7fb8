// The crash tests' app launches: the test binary runs itself again as the
// app in a new process (one child test, chosen by a filter), over an app
// home of its own and against the local cloud; and the next launch's wait
// until every earlier report has gone to the service.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "blackbox/BBXFileManager.h"
#include "harbor/Harbor.h"
#include "platform/dispatch/MainQueue.h"
#include "support/Sanitizers.h"

namespace bbxlaunch {

// Runs the child test `test` over `home` with the cloud's endpoints and the
// variables given; its wait status. C++ exceptions are left uncaught there.
inline int run(const char* test, const std::filesystem::path& home, const std::string& cloud,
               const std::vector<std::pair<std::string, std::string>>& variables) {
  const std::string filter = std::string("--gtest_filter=") + test;
  const pid_t child = fork();
  if (child == 0) {
    for (const auto& [name, value] : variables) setenv(name.c_str(), value.c_str(), 1);
    setenv("LUMORA_HOME", home.c_str(), 1);
    for (const char* name : {"SettingsEndpoint", "ConfigureEndpoint", "BlackboxReportsEndpoint"}) {
      setenv(name, cloud.c_str(), 1);
    }
    execl("/proc/self/exe", "crashapp", filter.c_str(), "--gtest_catch_exceptions=0", static_cast<char*>(nullptr));
    _exit(6);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// In the next launch: pumps the main queue until this launch's report is
// the only one left and the settings are in (at most 30 s).
inline bool waitUntilEarlierReportsAreSent() {
  const lumora::BBXFileManager store;
  return platform::MainQueue::main().runUntil(
      [&] {
        return store.activePathContents().size() == 1 && store.processingPathContents().empty() &&
               store.preparedPathContents().empty() && lumora::Harbor::sharedSDK().settings() != nullptr;
      },
      testsupport::scaled(std::chrono::seconds(30)));
}

}  // namespace bbxlaunch
