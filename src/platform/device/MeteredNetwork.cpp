#include "platform/device/MeteredNetwork.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/dispatch/Clock.h"

extern char** environ;

namespace platform {
namespace {

// NetworkManager keeps its run-time state here while it runs.
constexpr const char* kNetworkManagerRunFolder = "/run/NetworkManager";
// How long an answer holds: long enough that the statistics kit, which
// reads the network for every request, does not start a process each time.
constexpr double kAnswerLifetimeSeconds = 5.0;
// busctl gives up on the bus after its own timeout; this bounds the wait
// for the process itself.
constexpr int kReplyLimitMilliseconds = 3000;

struct State {
  std::mutex mutex;
  std::function<std::optional<bool>()> reader;
  std::optional<bool> answer;
  std::optional<Clock::SteadyTimePoint> askedAt;
};

State& state() {
  static State* s = new State;
  return *s;
}

// Runs busctl for the primary connection's flag; its standard output, or
// nullopt when it cannot be run or does not end in time.
std::optional<std::string> askNetworkManager() {
  std::error_code ec;
  if (!std::filesystem::is_directory(kNetworkManagerRunFolder, ec)) return std::nullopt;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // Nothing else of this process (its locks, its sockets) goes with it.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  const char* argv[] = {"busctl",
                        "--system",
                        "--timeout=1",
                        "--auto-start=no",
                        "get-property",
                        "org.freedesktop.NetworkManager",
                        "/org/freedesktop/NetworkManager",
                        "org.freedesktop.NetworkManager",
                        "Metered",
                        nullptr};
  pid_t child = -1;
  const int spawned =
      posix_spawnp(&child, "busctl", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return std::nullopt;
  }
  std::string reply;
  bool complete = false;
  char buffer[256];
  for (;;) {
    pollfd readable{out[0], POLLIN, 0};
    const int ready = ::poll(&readable, 1, kReplyLimitMilliseconds);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      complete = got == 0;
      break;
    }
    if (reply.size() < 4096) reply.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  if (!complete) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return reply;
}

}  // namespace

std::optional<bool> MeteredNetwork::parseMeteredReply(std::string_view reply) {
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == ' ')) reply.remove_suffix(1);
  if (reply.size() != 3 || reply.substr(0, 2) != "u ") return std::nullopt;
  switch (reply[2]) {
    case '1':
    case '3':
      return true;
    case '2':
    case '4':
      return false;
    default:
      return std::nullopt;
  }
}

std::optional<bool> MeteredNetwork::systemMetered() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (s.reader) return s.reader();
  const auto now = Clock::current()->steadyNow();
  if (s.askedAt && now - *s.askedAt < seconds(kAnswerLifetimeSeconds)) return s.answer;
  const auto reply = askNetworkManager();
  s.answer = reply ? parseMeteredReply(*reply) : std::nullopt;
  s.askedAt = now;
  return s.answer;
}

void MeteredNetwork::forgetAnswer() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.answer.reset();
  s.askedAt.reset();
}

void MeteredNetwork::setReaderForTesting(std::function<std::optional<bool>()> reader) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.reader = std::move(reader);
  s.answer.reset();
  s.askedAt.reset();
}

}  // namespace platform
