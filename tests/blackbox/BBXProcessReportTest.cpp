#include "blackbox/BBXProcessReportOperation.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blackbox/BBXBinaryImage.h"
#include "blackbox/BBXFile.h"
#include "blackbox/BBXFileManager.h"
#include "platform/device/Bundle.h"
#include "platform/diagnostics/DynamicLoader.h"
#include "support/TestHome.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using lumora::BBXFileReadSections;

// Runs the crash writer in a new process (new load addresses) over `dir`,
// with its own app home; its exit status.
int bbxProcessRunWriter(const fs::path& home, const std::string& dir) {
  std::vector<std::string> variables{"LUMORA_HOME=" + home.string()};
  for (char** at = environ; *at != nullptr; ++at) {
    if (std::string(*at).rfind("LUMORA_HOME=", 0) != 0) variables.emplace_back(*at);
  }
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  const char* argv[] = {BBX_CRASH_WRITER, dir.c_str(), nullptr};
  const pid_t child = fork();
  if (child == 0) {
    execve(BBX_CRASH_WRITER, const_cast<char**>(argv), envp.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<nlohmann::json> bbxProcessSections(const std::string& path) {
  return BBXFileReadSections(path.c_str(), false).value_or(std::vector<nlohmann::json>{});
}

// The "load" record of the image with that file name.
nlohmann::json bbxProcessLoadOf(const std::string& images, const std::string& name) {
  for (const auto& section : bbxProcessSections(images)) {
    if (section.contains("load") && fs::path(section["load"]["path"].get<std::string>()).filename() == name) {
      return section["load"];
    }
  }
  return nullptr;
}

// The crashed thread's index and recorded stack.
std::pair<std::size_t, std::vector<std::uint64_t>> bbxProcessCrashedStack(const std::string& record) {
  for (const auto& section : bbxProcessSections(record)) {
    if (!section.contains("threads")) continue;
    const auto& threads = section["threads"];
    for (std::size_t i = 0; i < threads.size(); ++i) {
      if (threads[i].value("crashed", false)) return {i, threads[i]["stacktrace"].get<std::vector<std::uint64_t>>()};
    }
  }
  return {0, {}};
}

TEST(BBXProcessReportTest, AnotherProcessesReportIsNamedWhereItsImagesAreLoadedHere) {
  testsupport::TestHome home;
  platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.app"}});
  lumora::BBXFileManager store;
  ASSERT_TRUE(store.prepareForNewLaunch());
  const auto written = store.setupNewPathForExecutionIdentifier("writer-run");
  ASSERT_TRUE(written);
  ASSERT_EQ(bbxProcessRunWriter(home.root() / "writer", *written), 0);
  ASSERT_TRUE(store.moveItemAtPath(*written, store.processingPath()));
  const auto report = lumora::BBXInternalReport::reportWithPath(store.processingPathContents().at(0));
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->identifier(), "writer-run");
  EXPECT_TRUE(report->isCrash());

  const std::string library = fs::path(BBX_TEST_CRASHER).filename().string();
  const nlohmann::json load = bbxProcessLoadOf(report->binaryImagePath(), library);
  ASSERT_TRUE(load.is_object()) << "the writer recorded no " << library;
  const std::uint64_t recordedBase = load["base"];
  const std::uint64_t recordedSize = load["size"];
  const std::string record = report->pathForContentFile("signal.bbxrecord");
  const auto crashedStack = bbxProcessCrashedStack(record);
  const std::size_t crashed = crashedStack.first;
  const std::vector<std::uint64_t>& stack = crashedStack.second;
  std::size_t inLibrary = 0;
  while (inLibrary < stack.size() && (stack[inLibrary] < recordedBase || stack[inLibrary] - recordedBase >= recordedSize)) {
    ++inLibrary;
  }
  ASSERT_LT(inLibrary, stack.size()) << "no frame in " << library;

  const auto process = [&] {
    lumora::BBXProcessReportOperation(report, std::make_shared<lumora::BBXSymbolResolver>()).start();
    const auto sections = bbxProcessSections(record + ".symbolicated");
    return sections.empty() ? nlohmann::json() : sections.front()["threads"][crashed];
  };

  // The library is not loaded here: its frame keeps only its address, and so
  // do the frames of the writer program itself.
  ASSERT_EQ(dlopen(BBX_TEST_CRASHER, RTLD_NOW | RTLD_NOLOAD), nullptr);
  nlohmann::json frames = process();
  ASSERT_EQ(frames.size(), stack.size());
  const nlohmann::json bare = {{"symbol", nullptr}, {"offset", 0}, {"library", nullptr}};
  EXPECT_EQ(frames[inLibrary], bare);
  EXPECT_EQ(frames[0], bare);

  void* handle = platform::loader::open(BBX_TEST_CRASHER, RTLD_NOW);
  ASSERT_NE(handle, nullptr);
  lumora::BBXBinaryImageDetails here{};
  ASSERT_TRUE(lumora::BBXBinaryImageFindImageForUUID(load["uuid"].get<std::string>().c_str(), &here));
  EXPECT_NE(here.loadAddress, recordedBase);
  // Where a symbol of the library lay in the writer.
  const auto recorded = [&](const char* symbol) {
    return recordedBase + (reinterpret_cast<std::uint64_t>(dlsym(handle, symbol)) - here.loadAddress);
  };

  frames = process();
  const std::uint64_t crasherStart = recorded("_ZN2ns7crasherEi");
  EXPECT_EQ(frames[inLibrary], (nlohmann::json{{"symbol", "ns::crasher(int)"},
                                               {"offset", stack[inLibrary] - crasherStart},
                                               {"library", library}}));
  EXPECT_GT(stack[inLibrary], crasherStart);
  // A frame in an image that is loaded here but at no exported symbol (libc's
  // start-up) has no symbol to count an offset from.
  for (const auto& frame : frames) EXPECT_TRUE(!frame["symbol"].is_null() || frame["offset"] == 0) << frame;

  // A return address on a symbol's first byte belongs to the call before it;
  // an exact one (a thread's first frame) to that symbol. A local function
  // is named from the library's own table.
  lumora::BBXSymbolResolver resolver;
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(report->binaryImagePath()));
  using LocalAddress = void* (*)();
  const auto local = reinterpret_cast<LocalAddress>(dlsym(handle, "bbxCrasherLocalAddress"));
  ASSERT_NE(local, nullptr);
  const std::uint64_t localStart = recordedBase + (reinterpret_cast<std::uint64_t>(local()) - here.loadAddress);
  const struct {
    std::uint64_t address;
    bool exact;
    const char* symbol;
    std::uint64_t offset;
  } lookups[] = {{recorded("bbxCrasherNext"), false, "bbxCrasherTail", 4},
                 {recorded("bbxCrasherNext"), true, "bbxCrasherNext", 0},
                 {localStart, true, "bbxCrasherLocal", 0},
                 {localStart + 1, false, "bbxCrasherLocal", 1}};
  for (const auto& lookup : lookups) {
    auto frame = lumora::BBXStackFrame::stackFrameWithAddress(lookup.address);
    frame->exact = lookup.exact;
    ASSERT_TRUE(resolver.updateStackFrame(*frame)) << lookup.symbol;
    EXPECT_EQ(frame->symbol, lookup.symbol);
    EXPECT_EQ(frame->offset, lookup.offset) << lookup.symbol;
    EXPECT_EQ(frame->library, library);
  }
  platform::loader::close(handle);
}

}  // namespace
