#include "stats/KoACrashUtil.h"

#include <csignal>

#include <fmt/format.h>

namespace lumora {
namespace {

struct SignalText {
  int signal;
  const char* text;
};

constexpr SignalText kSignalTexts[] = {
    {SIGHUP, "hangup"},
    {SIGINT, "interrupt"},
    {SIGQUIT, "quit"},
    {SIGILL, "illegal instruction (not reset when caught)"},
    {SIGTRAP, "trace trap (not reset when caught)"},
    {SIGABRT, "abort()"},
    {SIGFPE, "floating point exception"},
    {SIGKILL, "kill (cannot be caught or ignored)"},
    {SIGBUS, "bus error"},
    {SIGSEGV, "segmentation violation"},
    {SIGSYS, "bad argument to system call"},
    {SIGPIPE, "write on a pipe with no one to read it"},
    {SIGALRM, "alarm clock"},
    {SIGTERM, "software termination signal from kill"},
    {SIGURG, "urgent condition on IO channel"},
    {SIGSTOP, "sendable stop signal not from tty"},
    {SIGTSTP, "stop signal from tty"},
    {SIGCONT, "continue a stopped process"},
    {SIGCHLD, "to parent on child stop or exit"},
    {SIGTTIN, "to readers pgrp upon background tty read"},
    {SIGTTOU, "like TTIN for output if (tp->t_local&LTOSTOP)"},
};

}  // namespace

std::string KoACrashUtil::signalString(int signal) {
  std::string text = fmt::format("signal:{} -->", signal);
  for (const SignalText& entry : kSignalTexts) {
    if (entry.signal == signal) return text + entry.text;
  }
  return text;
}

}  // namespace lumora
