#include "blackbox/BBXContext.h"

#include <errno.h>
#include <limits.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXBinaryImage.h"
#include "blackbox/BBXHost.h"
#include "blackbox/BBXUserLogging.h"
#include "platform/dispatch/Clock.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/ConcurrentQueue.h"

namespace lumora {
namespace {

std::atomic<BBXContext*> gBBXContext{nullptr};
std::atomic<BBXWritableContext*> gBBXWritableContext{nullptr};

std::mutex gBBXHooksMutex;
BBXCaptureHooks& gBBXHooks = *new BBXCaptureHooks(BBXProcessCaptureHooks());


// The record files of a launch, each formed once into the protectable region.
constexpr std::string_view kBBXRecordFileNames[] = {
    "sdk.log",
    "metadata.bbxrecord",
    "binary_images.bbxrecord",
    "signal.bbxrecord",
    "mach_exception.bbxrecord",
    "exception.bbxrecord",
    "custom_exception.bbxrecord",
    "user_incremental_kv.bbxrecord",
    "user_compacted_kv.bbxrecord",
    "internal_incremental_kv.bbxrecord",
    "internal_compacted_kv.bbxrecord",
    "log_a.bbxrecord",
    "log_b.bbxrecord",
    "errors_a.bbxrecord",
    "errors_b.bbxrecord",
};

constexpr std::uint32_t kBBXCompactionThreshold = 64;
// The image list and the metadata; and how long a crash waits for them.
constexpr std::uint32_t kBBXStartupRecordCount = 2;
constexpr std::uint64_t kBBXStartupRecordWaitNanoseconds = 1000000000;
constexpr std::uint32_t kBBXInternalMaxKeys = 32;

// The protectable region holds the context, every path of a launch and the
// host block's documents path.
std::size_t bbxProtectableSize(const std::string& reportPath) {
  std::size_t size = sizeof(BBXContext) + PATH_MAX + 16;
  for (std::string_view name : kBBXRecordFileNames) size += reportPath.size() + name.size() + 2 + 16;
  return size;
}

const char* bbxRecordPath(const std::string& reportPath, std::string_view name) {
  if (reportPath.empty()) return nullptr;
  std::string path = reportPath;
  if (path.back() != '/') path += '/';
  path += name;
  return BBXSafeStrdup(path.c_str());
}

// The start-up blocks and the protection step after them. Start-up itself
// holds one count until every block is submitted, so that a block that ends
// early cannot start the protection step.
struct BBXStartup {
  std::mutex mutex;
  std::condition_variable changed;
  int pending = 1;
  bool protectedDone = false;
};
std::mutex gBBXStartupMutex;
std::shared_ptr<BBXStartup> gBBXStartup;

void bbxProtect(const std::shared_ptr<BBXStartup>& startup, BBXContext* context) {
  context->initialized.store(true);
  if (!BBXAllocatorProtect(BBXAllocatorGet())) BBXSDKLog("%s: Error: Memory protection failed\n", "BBXContextInitialize");
  std::lock_guard lock(startup->mutex);
  startup->protectedDone = true;
  startup->changed.notify_all();
}

void bbxLeave(const std::shared_ptr<BBXStartup>& startup, BBXContext* context) {
  std::lock_guard lock(startup->mutex);
  if (--startup->pending == 0) {
    startup->changed.notify_all();
    platform::globalQueue().async([startup, context] { bbxProtect(startup, context); });
  }
}

void bbxSubmit(const std::shared_ptr<BBXStartup>& startup, BBXContext* context, std::function<void()> block) {
  {
    std::lock_guard lock(startup->mutex);
    ++startup->pending;
  }
  platform::globalQueue().async([startup, context, block = std::move(block)] {
    block();
    bbxLeave(startup, context);
  });
}

void bbxFillPaths(BBXContext* context, const std::string& reportPath) {
  auto path = [&](std::string_view name) { return bbxRecordPath(reportPath, name); };
  context->metadataPath = path("metadata.bbxrecord");
  context->binaryImagePath = path("binary_images.bbxrecord");
  context->signal.path = path("signal.bbxrecord");
  context->machException.path = path("mach_exception.bbxrecord");
  context->exception.path = path("exception.bbxrecord");
  context->exception.customPath = path("custom_exception.bbxrecord");
  BBXUserLoggingContext& logging = context->userLogging;
  logging.userKVStorage = {path("user_incremental_kv.bbxrecord"), path("user_compacted_kv.bbxrecord"),
                           kBBXCompactionThreshold, 0};
  logging.internalKVStorage = {path("internal_incremental_kv.bbxrecord"), path("internal_compacted_kv.bbxrecord"),
                               kBBXCompactionThreshold, kBBXInternalMaxKeys};
  logging.logFiles = {path("log_a.bbxrecord"), path("log_b.bbxrecord"), 0};
  logging.errorFiles = {path("errors_a.bbxrecord"), path("errors_b.bbxrecord"), 0};
}

}  // namespace

platform::SerialQueue& BBXContextLoggingQueue() {
  static auto* queue = new platform::SerialQueue("com.harbor.blackbox.ios.logging");
  return *queue;
}

platform::SerialQueue& BBXContextBinaryImagesQueue() {
  static auto* queue = new platform::SerialQueue("com.harbor.blackbox.ios.binary-images");
  return *queue;
}

platform::SerialQueue& BBXContextExceptionQueue() {
  static auto* queue = new platform::SerialQueue("com.harbor.blackbox.ios.exception");
  return *queue;
}

BBXCaptureHooks BBXContextCaptureHooks() {
  std::lock_guard lock(gBBXHooksMutex);
  return gBBXHooks;
}

void BBXContextSetCaptureHooks(BBXCaptureHooks hooks) {
  std::lock_guard lock(gBBXHooksMutex);
  gBBXHooks = std::move(hooks);
}

BBXContext* BBXContextGet() { return gBBXContext.load(); }
BBXWritableContext* BBXWritableContextGet() { return gBBXWritableContext.load(); }

bool BBXContextIsInitialized() {
  const BBXContext* context = BBXContextGet();
  return reinterpret_cast<std::uintptr_t>(context) >= kBBXMinimumValidAddress && context->initialized.load();
}

bool BBXContextIsOwnProcess() {
  const BBXContext* context = BBXContextGet();
  return reinterpret_cast<std::uintptr_t>(context) >= kBBXMinimumValidAddress &&
         context->pid == static_cast<pid_t>(syscall(SYS_getpid));
}

bool BBXContextMarkAndCheckIfCrashed() {
  BBXWritableContext* writable = BBXWritableContextGet();
  if (reinterpret_cast<std::uintptr_t>(BBXContextGet()) < kBBXMinimumValidAddress || writable == nullptr) return false;
  return writable->crashRecorded.exchange(true);
}

void BBXContextStartupRecordDone() {
  if (BBXWritableContext* writable = BBXWritableContextGet()) writable->startupRecordsPending.fetch_sub(1);
}

void BBXContextAwaitStartupRecords() {
  const BBXWritableContext* writable = BBXWritableContextGet();
  if (writable == nullptr) return;
  // They take milliseconds; a crash on the very thread that writes one, or
  // holding what it needs, must not keep the record from being written.
  const std::uint64_t deadline = BBXTimingNow() + kBBXStartupRecordWaitNanoseconds;
  while (writable->startupRecordsPending.load() != 0 && BBXTimingNow() < deadline) {
    const timespec pause{0, 200000};
    nanosleep(&pause, nullptr);
  }
}

void BBXContextInitialize(const BBXContextInitData* data) {
  if (data == nullptr) return;
  // Without a report folder nothing could be recorded: no context, no
  // handlers (a crash then ends the process as it would without the kit).
  if (data->reportPath.empty()) {
    platform::consoleLog("[Blackbox:Crash] No report directory - not installing handlers");
    return;
  }
  // The blocks below may outlive the caller's record (after the time-out):
  // they share this copy.
  auto record = std::make_shared<const BBXContextInitData>(*data);
  const BBXCaptureHooks hooks = BBXContextCaptureHooks();
  BBXContextLoggingQueue();
  BBXContextBinaryImagesQueue();
  BBXContextExceptionQueue();

  BBXAllocator* allocator =
      BBXAllocatorCreate(2 * kBBXStackSize + sizeof(BBXWritableContext), bbxProtectableSize(record->reportPath));
  BBXAllocatorSet(allocator);
  auto* context = new (BBXAllocatorSafeAllocate(allocator, sizeof(BBXContext), kBBXAllocatorRegionProtectable))
      BBXContext{};
  context->machStack = BBXAllocatorSafeAllocate(allocator, kBBXStackSize, kBBXAllocatorRegionWritable);
  context->signalStack = BBXAllocatorSafeAllocate(allocator, kBBXStackSize, kBBXAllocatorRegionWritable);
  std::memset(context->machStack, 0, kBBXStackSize);
  std::memset(context->signalStack, 0, kBBXStackSize);
  auto* writable =
      new (BBXAllocatorSafeAllocate(allocator, sizeof(BBXWritableContext), kBBXAllocatorRegionWritable))
          BBXWritableContext{};
  writable->sdkLogDescriptor.store(-1);
  writable->crashRecorded.store(false);
  writable->startupRecordsPending.store(kBBXStartupRecordCount);
  context->initialized.store(false);
  context->pid = static_cast<pid_t>(syscall(SYS_getpid));
  gBBXContext.store(context);
  gBBXWritableContext.store(writable);

  auto startup = std::make_shared<BBXStartup>();
  {
    std::lock_guard lock(gBBXStartupMutex);
    gBBXStartup = startup;
  }

  context->sdkLogPath = bbxRecordPath(record->reportPath, "sdk.log");
  if (context->sdkLogPath == nullptr || !BBXUnlinkIfExists(context->sdkLogPath)) {
    platform::consoleLog("[Blackbox:Crash] Unable to write initialize SDK write paths " +
                           std::string(strerror(errno)));
  }
  bbxFillPaths(context, record->reportPath);

  context->debuggerAttached = hooks.debuggerAttached && hooks.debuggerAttached();
  context->crashOccurredReceiver = record->crashOccurredReceiver;
  context->crashCallbackReceiver = record->crashCallbackReceiver;
  context->firstInstall = record->firstInstall;

  if (hooks.hostInitialize) bbxSubmit(startup, context, [context, hooks] { hooks.hostInitialize(&context->host); });
  bbxSubmit(startup, context, [context, writable, record] {
    BBXUserLoggingContext& logging = context->userLogging;
    // A file turns over once past its size: the size stays well inside a
    // record file's bound, whatever the settings ask.
    constexpr std::uint32_t kLargest = static_cast<std::uint32_t>(kBBXMaxRecordFileBytes / 2);
    logging.logFiles.maxSize = std::min(record->logBufferSize, kLargest);
    logging.errorFiles.maxSize = record->errorReportingEnabled ? std::min(record->errorLogBufferSize, kLargest) : 0;
    logging.userKVStorage.maxKeys = record->maxCustomKeys;
    BBXUserLoggingInit(&logging, &writable->userLogging);
  });
  bbxSubmit(startup, context, [context, writable] { BBXBinaryImageInit(context->binaryImagePath, writable); });
  if (!context->debuggerAttached) {
    // The exception handler goes in first, in the signal handler's own
    // block: an uncaught exception ends in an abort, which the signal
    // handler alone would record as a bare signal, without the exception's
    // type and message.
    if (hooks.exceptionInitialize || hooks.signalInitialize) {
      bbxSubmit(startup, context, [context, writable, hooks, record] {
        if (hooks.exceptionInitialize) {
          context->exception.maxCustomExceptions = record->customExceptionsEnabled ? record->maxCustomExceptions : 0;
          hooks.exceptionInitialize(&context->exception, &writable->customExceptionCount);
        }
        if (hooks.signalInitialize) hooks.signalInitialize(&context->signal);
      });
    }
    if (hooks.machExceptionInitialize) {
      bbxSubmit(startup, context, [context, hooks, record] {
        context->machException.mask = record->machExceptionMask;
        hooks.machExceptionInitialize(&context->machException);
      });
    }
  } else {
    BBXSDKLog("%s: Debugger present - not installing handlers\n", __func__);
  }
  bbxSubmit(startup, context, [context, record] {
    BBXContextRecordMetadata(context->metadataPath, *record);
    BBXContextStartupRecordDone();
  });
  bbxLeave(startup, context);

  // Waits for the protection step itself, not only the blocks before it:
  // the context counts as initialised when this returns, so a key recorded
  // right after is written, not dropped.
  std::unique_lock lock(startup->mutex);
  if (!platform::Clock::current()->waitFor(lock, startup->changed, std::chrono::seconds(5),
                                           [&] { return startup->protectedDone; })) {
    BBXSDKLog("%s: Error: Delayed initialization\n", __func__);
  }
}

void BBXContextWaitForStartupForTesting() {
  std::shared_ptr<BBXStartup> startup;
  {
    std::lock_guard lock(gBBXStartupMutex);
    startup = gBBXStartup;
  }
  if (!startup) return;
  std::unique_lock lock(startup->mutex);
  startup->changed.wait(lock, [&] { return startup->protectedDone; });
}

void BBXContextResetForTesting() {
  BBXContextWaitForStartupForTesting();
  BBXContextBinaryImagesQueue().sync([] {});
  BBXContextLoggingQueue().sync([] {});
  BBXBinaryImageResetForTesting();
  if (BBXWritableContext* writable = BBXWritableContextGet()) {
    const int fd = writable->sdkLogDescriptor.exchange(-1);
    if (fd >= 0) close(fd);
  }
  gBBXContext.store(nullptr);
  gBBXWritableContext.store(nullptr);
  BBXAllocatorSet(nullptr);
  std::lock_guard lock(gBBXStartupMutex);
  gBBXStartup.reset();
}

}  // namespace lumora
