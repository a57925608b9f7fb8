#include "support/CommandedChild.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace testsupport {
namespace {

int descriptorIn(const char* variable) {
  const char* value = std::getenv(variable);
  return value == nullptr ? -1 : std::atoi(value);
}

}  // namespace

CommandedChild::CommandedChild(const std::string& test, const std::map<std::string, std::string>& environment) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  // All the child needs is made before the fork: between it and the exec,
  // the child makes system calls only.
  const std::string filter = "--gtest_filter=" + test;
  std::map<std::string, std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    const std::size_t equals = entry.find('=');
    if (equals != std::string::npos) variables[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  for (const auto& [name, value] : environment) variables[name] = value;
  variables["LUMORA_TEST_CHILD_IN"] = std::to_string(in[0]);
  variables["LUMORA_TEST_CHILD_OUT"] = std::to_string(out[1]);
  std::vector<std::string> entries;
  for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char name[] = "child";
  std::vector<char*> argv = {name, const_cast<char*>(filter.c_str()), nullptr};
  child_ = fork();
  if (child_ == 0) {
    // The child's ends stay open across the exec.
    if (fcntl(in[0], F_SETFD, 0) != 0 || fcntl(out[1], F_SETFD, 0) != 0) _exit(6);
    execve("/proc/self/exe", argv.data(), envp.data());
    _exit(6);
  }
  close(in[0]);
  close(out[1]);
  commands_ = in[1];
  answers_ = out[0];
}

CommandedChild::~CommandedChild() {
  kill();
  if (commands_ >= 0) close(commands_);
  if (answers_ >= 0) close(answers_);
}

bool CommandedChild::send(const std::string& commands) {
  for (const char command : commands) {
    char answer = 0;
    if (write(commands_, &command, 1) != 1 || read(answers_, &answer, 1) != 1) return false;
  }
  return true;
}

bool CommandedChild::kill() {
  if (child_ <= 0) return false;
  int status = 0;
  const bool running = waitpid(child_, &status, WNOHANG) == 0;
  if (running) {
    ::kill(child_, SIGKILL);
    waitpid(child_, &status, 0);
  }
  child_ = -1;
  return running;
}

int CommandedChild::wait() {
  if (child_ <= 0) return -1;
  int status = 0;
  const pid_t ended = waitpid(child_, &status, 0);
  child_ = -1;
  return ended > 0 ? status : -1;
}

int CommandedChild::commandsIn() { return descriptorIn("LUMORA_TEST_CHILD_IN"); }
int CommandedChild::answersOut() { return descriptorIn("LUMORA_TEST_CHILD_OUT"); }

}  // namespace testsupport
