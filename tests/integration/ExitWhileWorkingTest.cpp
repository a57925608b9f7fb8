// Processes that start the kits, or an upload, against the local cloud, or
// a look at the photo library's folder, and return from main at once, while
// their queue threads still draw random bytes, encrypt, transfer and read
// photos' metadata: a library or a process-wide object torn
// down at exit under such a thread ends the process by a signal now and
// then, so each kind runs many times over. The processes are this program
// run again (it loads, as every test program does, a library that starts
// OpenSSL as it loads).
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "blackbox/Blackbox.h"
#include "cloud/request/LMHTTPRequestOperationManager.h"
#include "platform/app/Application.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/media/MediaProperties.h"
#include "platform/photos/PhotoLibrary.h"
#include "server/CloudServer.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kModeVariable = "EXIT_CHILD_MODE";
constexpr const char* kCloudVariable = "EXIT_CHILD_CLOUD";
constexpr const char* kRunVariable = "EXIT_CHILD_RUN";

// A fixed session: the upload is signed and sent whatever the cloud makes
// of it.
class FixedSession final : public lumora::LMSessionSource {
 public:
  std::optional<std::string> userId() override { return "10001"; }
  platform::Result<lumora::LMSignedSession> sessionForSid(const std::string&) override {
    return lumora::LMSignedSession{"10001", "token", "MDEyMzQ1Njc4OWFiY2RlZg=="};
  }
  bool canReLoginForSid(const std::string&) override { return false; }
  platform::Status reLoginForSid(const std::string&) override { return lumora::LMNotLoggedInError(); }
};

void startUpload(const std::string& cloud) {
  const lumora::LMHTTPRequestOperationManager manager(std::make_shared<FixedSession>());
  auto upload = manager.POST(cloud + "/lum/file/v3/user/10001/upload", platform::Json{{"_name", "a.bin"}}, "lumora",
                             [](lumora::LMStreamingMultipartFormData& form) {
                               form.appendPartWithFileData(platform::Bytes(1 << 20, 0x5a), "file", "a.bin",
                                                           "application/octet-stream");
                             });
  // Made once and never destroyed, as the app's queues are.
  static auto& queue = *new platform::OperationQueue("exit.upload");
  queue.addOperation([upload] { upload->start(); });
}

// The photo library of the app home looks at its folder on its own queue,
// every file read again (each is written anew, as a sync from a computer
// brings them): photos, movies, and files that are neither, which the
// metadata library tries as every kind it knows.
void startScan(int waitMilliseconds) {
  namespace photos = platform::photos;
  const platform::Bytes kinds[] = {testsupport::makeJpeg(64, 48), testsupport::makeMovie(32, 24, 1.0),
                                   platform::Bytes(64, 0x42)};
  const char* extensions[] = {".JPG", ".MOV", ".jpg"};
  for (int i = 0; i < 120; ++i) {
    testsupport::writeFile(photos::PhotoLibrary::folder() / "DCIM" / ("IMG_" + std::to_string(1000 + i) + extensions[i % 3]),
                           kinds[i % 3]);
  }
  if (!photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized)) std::_Exit(3);
  // Made once and never destroyed, as the app's screens that observe it are.
  static auto& observer = *new std::shared_ptr<photos::ChangeObserver>(std::make_shared<photos::ChangeObserver>());
  (*observer).photoLibraryDidChange = [](const photos::Change&) {};
  photos::PhotoLibrary::sharedPhotoLibrary()->registerChangeObserver(observer);
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  // The moment of the exit varies from run to run, across the scan.
  std::this_thread::sleep_for(std::chrono::milliseconds(waitMilliseconds));
}

// A read of a file's metadata held open across the exit: the file is a
// pipe that a worker is reading when main returns, and the first exit
// handler writes what the worker reads (a file that is no photo) into it.
// A check that runs after every exit handler the program's own code
// registered, and before the libraries' (libexiv2's tables), ends the
// process with what it found: 0 when the reads were closed, the held one
// had ended (its file closed) and a new one fails as the process exits;
// else the number of what went wrong.
constexpr const char* kHeldReadMode = "held-read";
enum HeldReadFinding { kReadsClosed = 0, kReadsStillOpen = 10, kHeldReadNotEnded = 11, kLaterReadNotRefused = 12 };

// Never destroyed: the check reads it after the program's static objects
// are gone.
const fs::path& heldPipe() {
  static const auto& pipe = *new fs::path(platform::photos::PhotoLibrary::folder() / "IMG_0001.JPG");
  return pipe;
}

void checkMetadataReadsClosed() {
  if (!platform::mediaReadsStopped()) _exit(kReadsStillOpen);
  // Opening a pipe to write without waiting fails while nobody reads it.
  if (const int reader = open(heldPipe().c_str(), O_WRONLY | O_NONBLOCK); reader >= 0) _exit(kHeldReadNotEnded);
  const platform::Bytes photo(64, 0x42);
  auto later = platform::imagePropertiesWithData(photo);
  if (later.ok() || later.error().code() != platform::kMediaErrorExiting) _exit(kLaterReadNotRefused);
  _exit(kReadsClosed);
}

// Exit handlers run in the reverse order of their registration: one
// registered before every static initialiser of the program runs after all
// of theirs, and before the handlers of the libraries loaded earlier.
__attribute__((constructor(102))) void registerHeldReadCheck() {
  const char* mode = std::getenv(kModeVariable);
  if (mode != nullptr && std::string_view(mode) == kHeldReadMode) std::atexit(checkMetadataReadsClosed);
}

void holdARead() {
  fs::create_directories(heldPipe().parent_path());
  if (mkfifo(heldPipe().c_str(), 0600) != 0) std::_Exit(3);
  std::thread([] { (void)platform::imagePropertiesOfFile(heldPipe()); }).detach();
  // Opening the pipe to write waits for the worker to open it to read:
  // from then on its read is under way.
  static const int writer = open(heldPipe().c_str(), O_WRONLY);
  if (writer < 0) std::_Exit(4);
  // The first exit handler: the file's bytes arrive and the read can end.
  std::atexit([] {
    const platform::Bytes bytes(64, 0x42);
    (void)!write(writer, bytes.data(), bytes.size());
    close(writer);
  });
}

// Runs this program's child test in `mode` against `cloud` over `appHome`,
// its output dropped; -1 when it cannot start.
pid_t spawnChild(const std::string& mode, const std::string& cloud, const fs::path& appHome, int run) {
  std::vector<std::string> variables{"LUMORA_HOME=" + appHome.string(), std::string(kModeVariable) + "=" + mode,
                                     std::string(kCloudVariable) + "=" + cloud,
                                     std::string(kRunVariable) + "=" + std::to_string(run)};
  for (char** at = environ; *at != nullptr; ++at) {
    if (!std::string_view(*at).starts_with("LUMORA_HOME=")) variables.emplace_back(*at);
  }
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=ExitWhileWorkingChild.Run";
  char* argv[] = {program.data(), filter.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t child = -1;
  const int failed = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? child : -1;
}

}  // namespace

// The app: runs only when the parent below executes it. Starts the work
// and returns (and the process with it) at once.
TEST(ExitWhileWorkingChild, Run) {
  const char* mode = std::getenv(kModeVariable);
  const char* cloud = std::getenv(kCloudVariable);
  if (mode == nullptr || cloud == nullptr) GTEST_SKIP();
  // A process stuck at exit ends by this signal, which the parent counts.
  alarm(testsupport::scaled(std::chrono::seconds(20)).count());
  for (const char* endpoint : {"SettingsEndpoint", "ConfigureEndpoint", "BlackboxReportsEndpoint"}) {
    setenv(endpoint, cloud, 1);
  }
  platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.exit"},
                                       {"CFBundleVersion", "1"},
                                       {"CFBundleShortVersionString", "1.0"},
                                       {"Harbor", {{"APIKey", "key-1"}}}});
  platform::MainQueue::main().bindToCurrentThread();
  if (std::string_view(mode) == "kits") {
    lumora::Blackbox::startWithAPIKey("key-1");
  } else if (std::string_view(mode) == kHeldReadMode) {
    holdARead();
  } else if (std::string_view(mode) == "scan") {
    const char* run = std::getenv(kRunVariable);
    startScan(run != nullptr ? std::atoi(run) % 10 : 0);
  } else {
    startUpload(cloud);
  }
}

TEST(ExitWhileWorkingTest, ProcessesThatReturnFromMainMidTransferOrScanEndCleanly) {
  testsupport::TestHome home;
  auto cloud = localcloud::CloudServer::create(home.root() / "cloud");
  ASSERT_TRUE(cloud && cloud->start(0));
  // A few at a time, each over an app home of its own that the next one
  // in its place starts from again (with what the kit left there).
  constexpr int kAtOnce = 3;
  const int runsPerMode = testsupport::kUnderAddressSanitizer || testsupport::kUnderThreadSanitizer ? 30 : 100;
  const std::string modes[] = {"kits", "upload", "scan"};
  constexpr int kModes = static_cast<int>(std::size(modes));
  std::map<std::string, int> endings;  // how the failed runs ended, counted
  for (int runs = 0; runs < kModes * runsPerMode;) {
    std::vector<std::pair<pid_t, std::string>> wave;
    for (int slot = 0; slot < kAtOnce && runs < kModes * runsPerMode; ++slot, ++runs) {
      const std::string& mode = modes[runs % kModes];
      const pid_t child = spawnChild(mode, cloud->url(), home.root() / ("app" + std::to_string(slot)), runs / kModes);
      ASSERT_GT(child, 0);
      wave.emplace_back(child, mode);
    }
    for (const auto& [child, mode] : wave) {
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      if (WIFSIGNALED(status)) {
        ++endings[mode + " ended by signal " + std::to_string(WTERMSIG(status))];
      } else if (WEXITSTATUS(status) != 0) {
        ++endings[mode + " exited with " + std::to_string(WEXITSTATUS(status))];
      }
    }
  }
  for (const auto& [ending, count] : endings) ADD_FAILURE() << count << " of " << runsPerMode << " " << ending;
}

// The metadata reads close as the process exits, before libexiv2 frees its
// tables: a read under way ends first and later ones fail as exiting.
TEST(ExitWhileWorkingTest, AMetadataReadUnderWayEndsBeforeTheLibraryGoesAndLaterOnesAreRefused) {
  testsupport::TestHome home;
  const pid_t child = spawnChild(kHeldReadMode, "", home.root() / "app", 0);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  const std::map<int, const char*> findings = {{kReadsStillOpen, "reads still open after the exit handlers"},
                                               {kHeldReadNotEnded, "the read under way had not ended"},
                                               {kLaterReadNotRefused, "a later read was not refused as exiting"}};
  EXPECT_EQ(WEXITSTATUS(status), kReadsClosed)
      << (findings.contains(WEXITSTATUS(status)) ? findings.at(WEXITSTATUS(status)) : "the child failed");
}
