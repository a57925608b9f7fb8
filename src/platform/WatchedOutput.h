// A program's standard output (or any descriptor it writes its report to)
// as a stdio stream that keeps why its first write failed. The C library's
// own stream keeps only that a write failed (ferror), not the reason, which
// a program needs at its end both to tell the failure ("No space left on
// device", as cp and cat do) and to tell it apart from a reader that is
// gone (EPIPE), which is no failure of its work.
//
// Once a write has failed nothing more is written, so that what reached
// the output is whole up to the failure, never with a gap. The descriptor
// is neither duplicated nor closed; the stream is buffered as the C
// library buffers standard output (by line on a terminal, else in blocks).
//
// Ownership: owns the stream, which must not be closed by anyone else.
// Threading: the stream takes writes from any thread (stdio's own lock);
// finish() once, after the last of them. Failure: kept, never thrown.
#pragma once

#include <atomic>
#include <cstdio>
#include <sys/types.h>

namespace platform {

class WatchedOutput {
 public:
  explicit WatchedOutput(int fd);
  ~WatchedOutput();
  WatchedOutput(const WatchedOutput&) = delete;
  WatchedOutput& operator=(const WatchedOutput&) = delete;

  // Where to write; never null. It has no descriptor of its own (fileno()
  // fails): ask isTerminal() instead of isatty(fileno()). Should the C
  // library not make it (out of memory), it is `stdout`, unwatched.
  std::FILE* stream() const { return stream_; }
  bool isTerminal() const { return terminal_; }

  // Writes out what is buffered; the errno of the first write that failed,
  // 0 when every byte went out.
  int finish();

 private:
  static ssize_t write(void* cookie, const char* data, std::size_t size);

  int fd_;
  bool terminal_;
  std::atomic<int> failure_{0};
  std::FILE* stream_ = nullptr;
  bool owned_ = false;
};

}  // namespace platform
