// A child process that runs one test of this test binary, by name (the
// test skips itself when not run so): told commands a byte each through a
// pipe, it answers each with a byte once it is done. The child finds the
// descriptors in LUMORA_TEST_CHILD_IN and LUMORA_TEST_CHILD_OUT, and what
// else it is told in the environment it is given.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace testsupport {

class CommandedChild {
 public:
  // Runs the test `test` ("Suite.Name") in a child with the variables
  // `environment` set.
  CommandedChild(const std::string& test, const std::map<std::string, std::string>& environment);
  // Kills the child if it still runs.
  ~CommandedChild();
  CommandedChild(const CommandedChild&) = delete;
  CommandedChild& operator=(const CommandedChild&) = delete;

  // Whether each command was sent and answered.
  bool send(const std::string& commands);
  // Whether it was still running; it is gone afterwards.
  bool kill();
  // Waits for it to end by itself: its status as waitpid tells it, -1 when
  // there is no child.
  int wait();

  // In the child: the descriptors it reads commands from and answers on
  // (-1 when it is no such child).
  static int commandsIn();
  static int answersOut();

 private:
  pid_t child_ = -1;
  int commands_ = -1;
  int answers_ = -1;
};

}  // namespace testsupport
