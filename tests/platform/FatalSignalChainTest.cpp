// The fatal-signal chain in forked children: two handlers added in either
// order (and an earlier handler of the app) all run, and the child still
// dies by the signal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>

#include "platform/diagnostics/FatalSignalChain.h"

namespace {

// The write end of the pipe every handler reports on.
int chainReport = -1;

void chainRecordA(int, siginfo_t*, void*) { platform::writeFromSignal(chainReport, "A", 1); }
void chainRecordB(int, siginfo_t*, void*) { platform::writeFromSignal(chainReport, "B", 1); }
void chainEarlier(int signal) {
  platform::writeFromSignal(chainReport, "E", 1);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

__attribute__((noinline, no_sanitize("undefined"))) void chainFault() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

TEST(FatalSignalChain, EveryHandlerRunsInEitherOrderAndTheChildDiesByTheSignal) {
  struct Case {
    int signal;
    bool aFirst;
    bool earlier;  // the app had its own handler before the chain
  } cases[] = {{SIGSEGV, true, false}, {SIGSEGV, false, true}, {SIGFPE, false, false}, {SIGTRAP, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "signal " << c.signal << (c.aFirst ? " A first" : " B first"));
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC | O_NONBLOCK), 0);
    pid_t pid = fork();
    if (pid == 0) {
      rlimit noCore{0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      chainReport = report[1];
      ::signal(c.signal, c.earlier ? chainEarlier : SIG_DFL);
      const int signals[] = {c.signal};
      platform::addFatalSignalHandler(c.aFirst ? chainRecordA : chainRecordB, signals);
      platform::addFatalSignalHandler(c.aFirst ? chainRecordB : chainRecordA, signals);
      // Adding one again changes nothing.
      platform::addFatalSignalHandler(chainRecordA, signals);
      if (c.signal == SIGSEGV) chainFault();
      else raise(c.signal);
      _exit(0);
    }
    close(report[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, c.signal);
    char seen[16];
    ssize_t count = read(report[0], seen, sizeof seen);
    close(report[0]);
    std::string records(seen, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    // The last added runs first; the earlier handler after the chain.
    EXPECT_EQ(records, std::string(c.aFirst ? "BA" : "AB") + (c.earlier ? "E" : ""));
  }
}

}  // namespace
