// run_in_test_environment COMMAND [ARGS...]: runs a command in the
// environment of the test binaries (see TestEnvironment.h), which this
// program enters before main. CTest runs the script tests through it.
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s COMMAND [ARGS...]\n", argv[0]);
    return 2;
  }
  execvp(argv[1], argv + 1);
  std::perror(argv[1]);
  return 127;
}
