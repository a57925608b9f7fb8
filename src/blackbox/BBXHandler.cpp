#include "blackbox/BBXHandler.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXHost.h"
#include "blackbox/BBXUnwind.h"
#include "platform/dispatch/QueueLabels.h"

namespace lumora {
namespace {

constexpr int kBBXThreadStopped = 2;
constexpr int kBBXThreadAsked = 1;
constexpr int kBBXThreadReleased = 3;
// How long the other threads have to answer a stop: 500 ms, and while they
// keep answering (a loaded machine runs them late) 250 ms past the latest
// answer, but never more than 2 s in all. A thread that cannot answer (one
// in an uninterruptible wait, one that is ending) costs that much at most.
constexpr std::uint64_t kBBXThreadStopWaitNanoseconds = 500000000;
constexpr std::uint64_t kBBXThreadStopGraceNanoseconds = 250000000;
constexpr std::uint64_t kBBXThreadStopMostNanoseconds = 2000000000;

std::atomic<int> gBBXThreadStopSignal{0};

pid_t bbxThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Register names of the "registers" object and their DWARF numbers.
constexpr struct {
  const char* name;
  std::uint64_t number;
} kBBXRegisterNames[] = {{"rax", 0}, {"rbx", 3},  {"rcx", 2},  {"rdx", 1},  {"rdi", 5},  {"rsi", 4},
                         {"rbp", 6}, {"rsp", 7},  {"r8", 8},   {"r9", 9},   {"r10", 10}, {"r11", 11},
                         {"r12", 12}, {"r13", 13}, {"r14", 14}, {"r15", 15}, {"rip", 16}};

void bbxThreadStopHandler(int, siginfo_t*, void* machineContext) {
  const int savedErrno = errno;
  BBXWritableContext* writable = BBXWritableContextGet();
  const pid_t tid = bbxThreadId();
  if (writable != nullptr) {
    bool listed = false;
    for (BBXThreadSlot& slot : writable->threadSlots) {
      if (slot.tid.load() != tid || slot.state.load() != kBBXThreadAsked) continue;
      listed = true;
      // Read after the ask, which follows the count's step.
      const std::uint32_t generation = writable->threadStopGeneration.load();
      slot.registers = BBXRegisterStateFromUContext(static_cast<const ucontext_t*>(machineContext));
      slot.state.store(kBBXThreadStopped);
      // Released, or a later stop has begun (its signal waits until this
      // handler returns, and stops this thread again).
      while (slot.state.load() == kBBXThreadStopped && writable->threadStopGeneration.load() == generation) {
        sched_yield();
      }
      break;
    }
    // A thread past the slots holds, unrecorded, until the stop ends.
    const std::uint32_t active = writable->threadStopActive.load();
    if (!listed && active != 0) {
      writable->threadStopUnlisted.fetch_add(1);
      while (writable->threadStopActive.load() == active) sched_yield();
    }
  }
  errno = savedErrno;
}

// Calls `visit` with each thread id of the process, in the order the kernel
// lists them; false when the list cannot be read.
template <typename Visit>
bool bbxEachThread(Visit visit) {
  const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  alignas(8) char buffer[4096];
  for (;;) {
    const long length = syscall(SYS_getdents64, fd, buffer, sizeof(buffer));
    if (length <= 0) break;
    for (long at = 0; at < length;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      long tid = 0;
      const char* name = entry->d_name;
      for (; *name >= '0' && *name <= '9'; ++name) tid = tid * 10 + (*name - '0');
      if (*name == '\0' && tid > 0) visit(static_cast<pid_t>(tid));
    }
  }
  close(fd);
  return true;
}

bool bbxListed(const pid_t* tids, std::size_t count, pid_t tid) {
  for (std::size_t i = 0; i < count; ++i) {
    if (tids[i] == tid) return true;
  }
  return false;
}

// The threads to record, at most `capacity` (a process may have more): the
// crashed thread first, then the handler's own, then the others in the
// order the kernel lists them.
std::size_t bbxListThreads(pid_t* tids, std::size_t capacity, pid_t crashed, pid_t self) {
  bool crashedFound = false;
  std::size_t count = 0;
  if (crashed > 0 && crashed != self) tids[count++] = crashed;
  tids[count++] = self;
  const bool listed = bbxEachThread([&](pid_t tid) {
    if (tid == crashed) crashedFound = true;
    if (tid != crashed && tid != self && count < capacity) tids[count++] = tid;
  });
  if (!listed) {
    BBXSDKLog("%s: Error: unable to get task threads\n", "BBXProcessInit");
    return 0;
  }
  // A crashed thread that is gone is not recorded.
  if (crashed > 0 && crashed != self && !crashedFound) {
    std::memmove(tids, tids + 1, (count - 1) * sizeof(pid_t));
    --count;
  }
  return count;
}

// "/proc/self/task/<tid>/<leaf>" into `out`.
void bbxTaskPath(pid_t tid, const char* leaf, char* out) {
  std::strcpy(out, "/proc/self/task/");
  std::size_t length = std::strlen(out);
  length += BBXFormatUnsigned(static_cast<std::uint64_t>(tid), 10, out + length);
  out[length++] = '/';
  std::strcpy(out + length, leaf);
}

std::uint64_t bbxParseUnsigned(const char** at) {
  while (**at == ' ' || **at == '\t') ++*at;
  std::uint64_t value = 0;
  for (; **at >= '0' && **at <= '9'; ++*at) value = value * 10 + static_cast<std::uint64_t>(**at - '0');
  return value;
}

// The kB value of a "/proc/meminfo" line, in bytes; false without the key.
bool bbxMemInfoValue(const char* text, const char* key, std::uint64_t* bytes) {
  const char* at = std::strstr(text, key);
  if (at == nullptr) return false;
  at += std::strlen(key);
  *bytes = bbxParseUnsigned(&at) * 1024;
  return true;
}

void bbxRecordRegisters(BBXFile* file, const BBXRegisterState& state) {
  BBXFileWriteHashKey(file, "registers");
  BBXFileWriteHashStart(file);
  for (const auto& reg : kBBXRegisterNames) BBXFileWriteHashEntryUint64(file, reg.name, state.registers[reg.number]);
  BBXFileWriteHashEntryUint64(file, "rflags", state.rflags);
  BBXFileWriteHashEnd(file);
}

void bbxRecordStack(BBXFile* file, const BBXRegisterState& state) {
  BBXUnwindContext unwind;
  BBXFileWriteHashKey(file, "stacktrace");
  BBXFileWriteArrayStart(file);
  if (BBXUnwindInit(&unwind, &state)) {
    while (BBXUnwindNextFrame(&unwind)) BBXFileWriteArrayEntryUint64(file, BBXUnwindGetPC(&unwind));
  } else {
    BBXSDKLog("%s: unable to init unwind context\n", "BBXProcessRecordAllThreads");
  }
  BBXFileWriteArrayEnd(file);
}

// Asks every other thread to stop, those past the listed ones too; waits a
// short while for their answers.
void bbxStopThreads(BBXWritableContext* writable, const pid_t* tids, std::size_t count, pid_t self) {
  const int signal = gBBXThreadStopSignal.load();
  std::uint32_t generation = writable->threadStopGeneration.fetch_add(1) + 1;
  if (generation == 0) generation = writable->threadStopGeneration.fetch_add(1) + 1;
  writable->threadStopUnlisted.store(0);
  writable->threadStopActive.store(generation);
  for (std::size_t i = 0; i < count; ++i) {
    BBXThreadSlot& slot = writable->threadSlots[i];
    slot.state.store(0);
    slot.tid.store(tids[i] == self ? 0 : tids[i]);
    if (tids[i] == self || signal == 0) continue;
    slot.state.store(kBBXThreadAsked);
    if (syscall(SYS_tgkill, getpid(), tids[i], signal) != 0) slot.state.store(0);
  }
  std::uint32_t unlistedAsked = 0;
  if (signal != 0) {
    bbxEachThread([&](pid_t tid) {
      if (tid == self || bbxListed(tids, count, tid)) return;
      if (syscall(SYS_tgkill, getpid(), tid, signal) == 0) ++unlistedAsked;
    });
  }
  const std::uint64_t start = BBXTimingNow();
  std::uint64_t deadline = start + kBBXThreadStopWaitNanoseconds;
  std::size_t waiting = count + unlistedAsked;
  for (std::uint64_t now = start; waiting > 0 && now < deadline; now = BBXTimingNow()) {
    std::size_t asked = 0;
    for (std::size_t i = 0; i < count; ++i) asked += writable->threadSlots[i].state.load() == kBBXThreadAsked;
    const std::uint32_t answered = writable->threadStopUnlisted.load();
    asked += answered < unlistedAsked ? unlistedAsked - answered : 0;
    if (asked < waiting) {
      deadline = std::max(deadline, std::min(now + kBBXThreadStopGraceNanoseconds, start + kBBXThreadStopMostNanoseconds));
    }
    waiting = asked;
    sched_yield();
  }
}

void bbxResumeThreads(BBXWritableContext* writable, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (writable->threadSlots[i].state.load() != 0) writable->threadSlots[i].state.store(kBBXThreadReleased);
  }
  writable->threadStopActive.store(0);
}

void bbxRecordThreads(BBXFile* file, BBXWritableContext* writable, const pid_t* tids, std::size_t count, pid_t self,
                      pid_t crashedThread, const ucontext_t* context) {
  BBXFileWriteSectionStart(file, "threads");
  BBXFileWriteArrayStart(file);
  for (std::size_t i = 0; i < count; ++i) {
    BBXSDKLog("%s: recording thread %d data\n", "BBXProcessRecordAllThreads", static_cast<int>(i));
    BBXRegisterState state{};
    if (tids[i] == crashedThread && context != nullptr) {
      state = BBXRegisterStateFromUContext(context);
    } else if (tids[i] == self) {
      ucontext_t current;
      if (getcontext(&current) == 0) state = BBXRegisterStateFromUContext(&current);
    } else if (writable->threadSlots[i].state.load() == kBBXThreadStopped) {
      state = writable->threadSlots[i].registers;
    } else {
      BBXSDKLog("%s: failed to get thread state\n", "BBXProcessGetThreadState");
    }
    BBXFileWriteHashStart(file);
    bbxRecordRegisters(file, state);
    bbxRecordStack(file, state);
    if (tids[i] == crashedThread) BBXFileWriteHashEntryBoolean(file, "crashed", true);
    BBXFileWriteHashEnd(file);
  }
  BBXFileWriteArrayEnd(file);
  BBXFileWriteSectionEnd(file);
  BBXSDKLog("%s: completed recording all thread data\n", "BBXProcessRecordAllThreads");
}

void bbxRecordNames(BBXFile* file, const pid_t* tids, std::size_t count) {
  char text[128];
  BBXFileWriteSectionStart(file, "dispatch_queue_names");
  BBXFileWriteArrayStart(file);
  for (std::size_t i = 0; i < count; ++i) {
    if (!platform::queueLabelOfThread(tids[i], text, sizeof(text))) text[0] = '\0';
    BBXFileWriteArrayEntryString(file, text);
  }
  BBXFileWriteArrayEnd(file);
  BBXFileWriteSectionEnd(file);

  BBXFileWriteSectionStart(file, "thread_names");
  BBXFileWriteArrayStart(file);
  char path[64];
  for (std::size_t i = 0; i < count; ++i) {
    bbxTaskPath(tids[i], "comm", path);
    const std::size_t length = BBXReadFile(path, text, 64);
    if (length > 0 && text[length - 1] == '\n') text[length - 1] = '\0';
    BBXFileWriteArrayEntryString(file, text);
  }
  BBXFileWriteArrayEnd(file);
  BBXFileWriteSectionEnd(file);
}

void bbxRecordProcessStats(BBXFile* file, const BBXContext* context) {
  char meminfo[4096];
  char statm[256];
  char stat[1024];
  meminfo[0] = '\n';
  std::uint64_t active = 0;
  std::uint64_t inactive = 0;
  std::uint64_t wired = 0;
  std::uint64_t free = 0;
  if (BBXReadFile("/proc/meminfo", meminfo + 1, sizeof(meminfo) - 1) == 0 ||
      !bbxMemInfoValue(meminfo, "\nActive:", &active) || !bbxMemInfoValue(meminfo, "\nInactive:", &inactive) ||
      !bbxMemInfoValue(meminfo, "\nMemFree:", &free)) {
    BBXSDKLog("%s: Failed to get vm statistics\n", "BBXProcessRecordProcessStats");
    BBXSDKLog("%s: Unable to get process memory usage\n", "BBXProcessRecordProcessStats");
    return;
  }
  bbxMemInfoValue(meminfo, "\nUnevictable:", &wired);
  const char* close = nullptr;
  if (BBXReadFile("/proc/self/statm", statm, sizeof(statm)) == 0 ||
      BBXReadFile("/proc/self/stat", stat, sizeof(stat)) == 0 || (close = std::strrchr(stat, ')')) == nullptr) {
    BBXSDKLog("%s: Failed to get task info\n", "BBXProcessRecordProcessStats");
    BBXSDKLog("%s: Unable to get process stats\n", "BBXProcessRecordProcessStats");
    return;
  }
  const std::uint64_t page = context != nullptr && context->host.pageSize != 0 ? context->host.pageSize : 4096;
  const char* at = statm;
  const std::uint64_t virtualPages = bbxParseUnsigned(&at);
  const std::uint64_t residentPages = bbxParseUnsigned(&at);
  // Fields 14 and 15 (user and system time in clock ticks) follow the
  // command name's closing parenthesis as the 12th and 13th.
  at = close + 1;
  for (int field = 3; field < 14; ++field) {
    while (*at == ' ') ++at;
    while (*at != ' ' && *at != '\0') ++at;
  }
  const std::uint64_t userTicks = bbxParseUnsigned(&at);
  const std::uint64_t systemTicks = bbxParseUnsigned(&at);
  const std::uint64_t ticks =
      context != nullptr && context->host.clockTicksPerSecond != 0 ? context->host.clockTicksPerSecond : 100;
  BBXFileWriteSectionStart(file, "process_stats");
  BBXFileWriteHashStart(file);
  BBXFileWriteHashEntryUint64(file, "active", active);
  BBXFileWriteHashEntryUint64(file, "inactive", inactive);
  BBXFileWriteHashEntryUint64(file, "wired", wired);
  BBXFileWriteHashEntryUint64(file, "freeMem", free);
  BBXFileWriteHashEntryUint64(file, "free_mem", free);
  BBXFileWriteHashEntryUint64(file, "virtual", virtualPages * page);
  BBXFileWriteHashEntryUint64(file, "resident", residentPages * page);
  BBXFileWriteHashEntryUint64(file, "user_time", userTicks * 1000000 / ticks);
  BBXFileWriteHashEntryUint64(file, "sys_time", systemTicks * 1000000 / ticks);
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);
}

}  // namespace

int BBXHandlerInstallThreadStop() {
  if (const int installed = gBBXThreadStopSignal.load(); installed != 0) return installed;
  const int signal = SIGRTMIN + 5;
  struct sigaction action {};
  action.sa_sigaction = bbxThreadStopHandler;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(signal, &action, nullptr) != 0) return 0;
  gBBXThreadStopSignal.store(signal);
  return signal;
}

void BBXHandler(BBXFile* file, pid_t crashedThread, const ucontext_t* context) {
  BBXWritableContext* writable = BBXWritableContextGet();
  if (!BBXFileIsOpen(file) || writable == nullptr) return;
  const BBXContext* crashContext = BBXContextGet();
  // A crash during start-up: the image list and the metadata are finished
  // first, by their threads, which are stopped only after that.
  BBXContextAwaitStartupRecords();
  pid_t tids[kBBXThreadSlotCount];
  const pid_t self = bbxThreadId();
  const std::size_t count = bbxListThreads(tids, kBBXThreadSlotCount, crashedThread, self);
  bbxStopThreads(writable, tids, count, self);
  bbxRecordThreads(file, writable, tids, count, self, crashedThread, context);

  BBXFileWriteSectionStart(file, "runtime");
  BBXFileWriteHashStart(file);
  BBXFileWriteHashEntryString(file, "objc_selector", "");
  BBXFileWriteHashKey(file, "crash_info_entries");
  BBXFileWriteArrayStart(file);
  BBXFileWriteArrayEnd(file);
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);

  bbxRecordNames(file, tids, count);
  bbxRecordProcessStats(file, crashContext);
  BBXHostRecordStorage(file);
  bbxResumeThreads(writable, count);

  if (crashContext != nullptr && crashContext->crashCallbackReceiver != nullptr) {
    BBXSDKLog("%s: Performing syncrhonous crash callback - brace for impact\n", __func__);
    crashContext->crashCallbackReceiver->deliverCrashDelegateCallback();
  }
}

}  // namespace lumora
