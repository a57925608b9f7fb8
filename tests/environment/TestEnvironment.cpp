#include "environment/TestEnvironment.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

extern char** environ;

namespace testsupport {
namespace {

namespace fs = std::filesystem;

// Set in every process of a run to its scratch folder: a process that finds
// it is a child of a test and keeps the environment the test gave it.
constexpr const char* kScratchVariable = "LUMORA_TEST_SCRATCH";

constexpr std::string_view kKeptNames[] = {"PATH", "HOME", "TERM", "LD_LIBRARY_PATH", "LD_PRELOAD",
                                           "LUMORA_CONVERGENCE_SEEDS"};
constexpr std::string_view kKeptPrefixes[] = {"GTEST_", "ASAN_", "LSAN_", "UBSAN_", "TSAN_", "MSAN_",
                                              "LLVM_",  "GCOV_", "LUMORA_BENCH_", "LUMORA_FUZZ_"};

bool kept(std::string_view name) {
  for (std::string_view each : kKeptNames) {
    if (name == each) return true;
  }
  for (std::string_view prefix : kKeptPrefixes) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

fs::path makeScratch() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / "lumora-run-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror(("cannot make a scratch folder in " + base.string()).c_str());
    std::_Exit(1);
  }
  return pattern;
}

void resetVariables(const fs::path& scratch) {
  std::vector<std::string> passed;
  for (char** at = environ; *at != nullptr; ++at) {
    const std::string_view entry(*at);
    if (kept(entry.substr(0, entry.find('=')))) passed.emplace_back(entry);
  }
  clearenv();
  for (const std::string& entry : passed) {
    const auto equals = entry.find('=');
    setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
  setenv("TMPDIR", scratch.c_str(), 1);
  setenv("LUMORA_HOME", (scratch / "home").c_str(), 1);
  setenv("LUMORA_SHARED_HOME", (scratch / "shared").c_str(), 1);
  setenv("LANG", "C.UTF-8", 1);
  setenv("TZ", "UTC", 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv(kScratchVariable, scratch.c_str(), 1);
  tzset();
}

bool beingTraced() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("TracerPid:")) return line.find_first_not_of("\t 0", 10) != std::string::npos;
  }
  return false;
}

// Without a first half to remove it, the folder goes as the process exits.
// Registered before every static object is made, this runs after their
// destructors; a forked child that exits leaves it to its parent. (Plain
// pointers: set before the static objects of this file are constructed.)
const fs::path* removedAtExit = nullptr;
pid_t removingProcess = 0;

void removeAtExit(const fs::path& scratch) {
  removedAtExit = new fs::path(scratch);
  removingProcess = getpid();
  std::atexit([] {
    if (getpid() != removingProcess) return;
    std::error_code ec;
    fs::remove_all(*removedAtExit, ec);
  });
}

volatile sig_atomic_t runningChild = 0;

void forwardSignal(int signal) {
  if (runningChild > 0) kill(runningChild, signal);
}

// The processes this one reaps: its own child and those its descendants
// left when they ended.
std::vector<pid_t> children() {
  std::vector<pid_t> found;
  std::ifstream list("/proc/self/task/" + std::to_string(getpid()) + "/children");
  for (pid_t pid = 0; list >> pid;) found.push_back(pid);
  return found;
}

// The process a test run started and left running ends before its scratch
// folder goes, so that nothing writes into it afterwards.
void endStragglers() {
  for (;;) {
    for (pid_t pid : children()) kill(pid, SIGKILL);
    if (waitpid(-1, nullptr, 0) < 0 && errno == ECHILD) return;
  }
}

// Ends this process as the test process ended.
[[noreturn]] void endAs(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    // The test process dumped its core where it was allowed to; this one
    // leaves none of its own.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigaction(signal, &defaults, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

// Forks: the child returns and runs the tests; this process waits for it
// and for what it left running, removes the scratch folder and ends as the
// child did. False when it cannot fork.
bool superviseFrom(const fs::path& scratch) {
  const pid_t supervisor = getpid();
  // Descendants whose parent ends come here rather than to init.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    return false;
  }
  if (child == 0) {
    // Killed with the first half, as when a harness kills it on a timeout.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != supervisor) _exit(1);
    return true;
  }
  runningChild = child;
  struct sigaction forward {};
  forward.sa_handler = forwardSignal;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &forward, nullptr);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      status = 1 << 8;
      break;
    }
  }
  runningChild = 0;
  endStragglers();
  std::error_code ec;
  fs::remove_all(scratch, ec);
  endAs(status);
}

}  // namespace

void TestEnvironment::enter() {
  static bool entered = false;
  if (entered) return;
  entered = true;
  std::error_code ec;
  if (const char* inherited = std::getenv(kScratchVariable);
      inherited != nullptr && *inherited != '\0' && fs::is_directory(inherited, ec)) {
    return;
  }
  const fs::path scratch = makeScratch();
  resetVariables(scratch);
  if (beingTraced() || !superviseFrom(scratch)) removeAtExit(scratch);
}

namespace {

// Before every other static initialiser of the binary (101 is the first
// priority programs may use).
__attribute__((constructor(101))) void enterBeforeMain() { TestEnvironment::enter(); }

}  // namespace

}  // namespace testsupport
