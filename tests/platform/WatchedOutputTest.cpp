#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "platform/WatchedOutput.h"

namespace {

// Both ends of a pipe, closed at the end of the test.
struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
      read = ends[0];
      write = ends[1];
    }
  }
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
  std::string drain() const {
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = ::read(read, buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    return got;
  }
};

// A full device and a reader that is gone are both kept with their reason,
// so that the one is told and the other is not.
TEST(WatchedOutput, KeepsWhyItsFirstWriteFailed) {
  {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    platform::WatchedOutput output(full);
    std::fputs("a line\n", output.stream());
    EXPECT_EQ(output.finish(), ENOSPC);
    EXPECT_TRUE(std::ferror(output.stream()));
    ::close(full);
  }
  {
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
    Pipe pipe;
    ::close(pipe.read);
    pipe.read = -1;
    platform::WatchedOutput output(pipe.write);
    std::fputs("nobody reads this\n", output.stream());
    const int failure = output.finish();
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(failure, EPIPE);
  }
}

// Once a write failed (here a full pipe that does not wait), what is
// written later is dropped, even when it could go out: the output is whole
// up to the failure, with no gap in it.
TEST(WatchedOutput, WritesNothingAfterAFailure) {
  Pipe pipe;
  ASSERT_GE(pipe.read, 0);
  ASSERT_EQ(::fcntl(pipe.write, F_SETFL, O_NONBLOCK), 0);
  ASSERT_EQ(::fcntl(pipe.read, F_SETFL, O_NONBLOCK), 0);
  const int capacity = ::fcntl(pipe.write, F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  platform::WatchedOutput output(pipe.write);
  const std::string more(static_cast<std::size_t>(capacity) + 100, 'x');
  std::fwrite(more.data(), 1, more.size(), output.stream());
  std::fflush(output.stream());
  const std::string first = pipe.drain();
  EXPECT_GT(first.size(), 0u);
  EXPECT_LT(first.size(), more.size());
  EXPECT_EQ(first.find_first_not_of('x'), std::string::npos);
  std::fputs("after\n", output.stream());
  EXPECT_EQ(output.finish(), EAGAIN);
  EXPECT_EQ(pipe.drain(), "");
}

}  // namespace
