// lumora: the command-line entry point of the client.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "app/WindowMode.h"
#include "app/demo/DemoJob.h"
#include "platform/WatchedOutput.h"
#include "utils/ServiceHosts.h"

namespace {

constexpr const char* kPasswordVariable = "LUMORA_PASSWORD";

void printUsage(std::FILE* out) {
  std::fputs(
      "usage: lumora [--device WxH] [--screenshot FILE] [--location-launch]\n"
      "       lumora --demo [--verbose] [--login NAME]\n"
      "\n"
      "  (no --demo)    the app in a window (needs a display, xvfb-run, or\n"
      "                 QT_QPA_PLATFORM=offscreen with --screenshot)\n"
      "  --device       the phone's screen: 320x480, 320x568, 375x667 (default)\n"
      "                 or 414x736\n"
      "  --screenshot   paint the app's first frame into FILE (PNG) and quit\n"
      "  --location-launch  start as after a location change (the background\n"
      "                 rule runs 10 s later)\n"
      "  --demo         run the main job against the configured cloud\n"
      "  --verbose      also print the SDK's log lines and debug dumps\n"
      "  --login NAME   the account to sign in with (default: the local\n"
      "                 cloud's demo account); its password comes from\n"
      "                 LUMORA_PASSWORD, else a prompt on a terminal,\n"
      "                 else the first line of standard input\n"
      "\n"
      "  LUMORA_HOME       the app home (default ~/.lumora); one lumora at a time\n"
      "  LUMORA_CLOUD_URL  the cloud (default <app home>/hosts.json, else\n"
      "                    http://127.0.0.1:8765)\n"
      "\n"
      "exit status of --demo: 0 done, 1 a failure on this machine, 2 a wrong\n"
      "command line, 3 sign-in refused, 4 cloud unreachable, 5 the cloud failed\n"
      "a request, 130 stopped (Ctrl-C)\n",
      out);
}

// The password of `login`: the environment, else a prompt without echo on
// the terminal, else a line of standard input. nullopt when there is none.
std::optional<std::string> readPassword(const std::string& login) {
  if (const char* value = std::getenv(kPasswordVariable)) return std::string(value);
  std::string line;
  if (isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "Password for %s: ", login.c_str());
    std::fflush(stderr);
    termios saved{};
    const bool quiet = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
      termios silent = saved;
      silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (quiet) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
    if (!read) return std::nullopt;
    return line;
  }
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void onInterrupt(int) { lumora::DemoJob::requestStop(); }

// Room for standard output, watched (see main): made there once and never
// destroyed, so that a thread of the work may still print while the
// process exits.
alignas(platform::WatchedOutput) unsigned char standardOutputRoom[sizeof(platform::WatchedOutput)];

// The status to end with once what was printed on standard output has gone
// out. Output that cannot be written (a full disk, an I/O error) is a
// failure on this machine, told after the work, which is kept: the run
// that did its work ends 1, one that failed keeps its own failure's status
// (told before). A reader that is gone (EPIPE) is none (see main). The
// message is one write to standard error; should that fail too, nothing
// more is tried.
int endOutput(platform::WatchedOutput& output, int status) {
  const int failure = output.finish();
  if (failure == 0 || failure == EPIPE) return status;
  std::fprintf(stderr, "lumora: cannot write the output: %s\n", std::strerror(failure));
  return status == lumora::kDemoExitOk ? lumora::kDemoExitLocalFailure : status;
}

}  // namespace

int main(int argc, char** argv) {
  // A write to a pipe nobody reads any more (`lumora --demo | head -n 3`,
  // the notice of a long start to a closed standard error) fails with
  // EPIPE instead of ending the process by SIGPIPE: the window and the demo
  // go on with their work. The lines are lost, and the demo's exit status
  // still says what its work did (0 when all of it went through): output
  // nobody reads is no failure of the work, and stopping a backup halfway
  // because a reader left would leave it to the next run (output that
  // cannot be written otherwise, as on a full disk, is told: endOutput).
  // Set first, so that no write at any moment can end the process; the
  // crash reporters installed later leave an ignored signal ignored.
  struct sigaction brokenPipe {};
  brokenPipe.sa_handler = SIG_IGN;
  sigemptyset(&brokenPipe.sa_mask);
  sigaction(SIGPIPE, &brokenPipe, nullptr);
  // Everything printed on standard output goes through this stream, which
  // keeps why a write failed. It lives as long as the process: a thread of
  // the work may still print while the process exits.
  platform::WatchedOutput& output = *new (standardOutputRoom) platform::WatchedOutput(STDOUT_FILENO);

  lumora::DemoOptions options;
  lumora::WindowOptions window;
  bool demo = false;
  std::optional<std::string> password;
  bool loginGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--demo") {
      demo = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--login" && i + 1 < argc) {
      options.login = argv[++i];
      loginGiven = true;
    } else if (arg == "--password" && i + 1 < argc) {
      // Still taken, for older scripts; other users can read it in the
      // process list, so it is not offered any more.
      password = argv[++i];
    } else if (arg == "--device" && i + 1 < argc) {
      window.device = argv[++i];
    } else if (arg == "--location-launch") {
      window.locationLaunch = true;
    } else if (arg == "--screenshot" && i + 1 < argc) {
      window.screenshot = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      printUsage(output.stream());
      return endOutput(output, 0);
    } else {
      std::fprintf(stderr, "lumora: unknown or incomplete argument '%s'\n", argv[i]);
      printUsage(stderr);
      return lumora::kDemoExitUsage;
    }
  }
  if (!demo) return lumora::runWindow(window, stderr);

  // The app home first: one process at a time, and a home that cannot be
  // used is found before anything is sent.
  if (!lumora::claimAppHome(stderr)) return lumora::kDemoExitLocalFailure;
  if (auto problem = lumora::ServiceHosts::hostsFileProblem()) {
    std::fprintf(stderr, "lumora: warning: %s\n", problem->c_str());
  }
  if (loginGiven && !password) {
    password = readPassword(options.login);
    if (!password) {
      std::fprintf(stderr, "lumora: no password for %s: set %s, or give it on standard input\n",
                   options.login.c_str(), kPasswordVariable);
      return lumora::kDemoExitUsage;
    }
  }
  if (password) options.password = *password;

  struct sigaction interrupt {};
  interrupt.sa_handler = onInterrupt;
  interrupt.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
  sigemptyset(&interrupt.sa_mask);
  sigaction(SIGINT, &interrupt, nullptr);
  options.outputIsTerminal = output.isTerminal();
  return endOutput(output, lumora::DemoJob(options, output.stream(), stderr).run());
}
