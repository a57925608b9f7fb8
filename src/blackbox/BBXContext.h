// The crash context: everything a crash handler needs, prepared once at
// start-up (BBXContextInitialize) and then made read-only, so that a
// crashing process cannot corrupt it; and the writable context, the only
// state crash handlers change. Both live in the crash-time allocator's
// mapping and are reached through process-wide pointers.
//
// Start-up builds the record-file paths of the launch, sets up the user
// logging, the binary image store, the host block and (without a debugger)
// the signal, Mach-exception and exception capture, writes the launch's
// metadata record, then protects the context. It waits up to 5 s for that
// work and goes on without it after that.
//
// Ownership: the contexts are never freed; nothing un-initialises them (the
// ...ForTesting function aside). Threading: start-up from one thread; the
// readers below from any thread, inside signal handlers too. Failure: every
// step logs its own failure and start-up goes on.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "blackbox/BBXFile.h"
#include "blackbox/BBXRegisterState.h"
#include "platform/dispatch/SerialQueue.h"

namespace lumora {

inline constexpr std::size_t kBBXStackSize = 0x40000;
inline constexpr std::size_t kBBXBinaryImageSlotCount = 512;
inline constexpr std::size_t kBBXHandledSignalCount = 7;

// Told after a fatal exception has been recorded.
class BBXCrashOccurredReceiver {
 public:
  virtual ~BBXCrashOccurredReceiver() = default;
  // Whether an upload of the report was started.
  virtual bool potentiallySubmittableCrashOccurred() = 0;
};

// Called synchronously on the crashing thread.
class BBXCrashCallbackReceiver {
 public:
  virtual ~BBXCrashCallbackReceiver() = default;
  virtual void deliverCrashDelegateCallback() = 0;
};

// What the crash-reporting controller hands to start-up. Start-up keeps its
// own copy: the record may go as soon as BBXContextInitialize returns.
// Receivers must live for the rest of the process.
struct BBXContextInitData {
  std::string apiKey;
  BBXCrashOccurredReceiver* crashOccurredReceiver = nullptr;
  bool firstInstall = false;
  BBXCrashCallbackReceiver* crashCallbackReceiver = nullptr;
  std::optional<std::string> customBundleId;
  std::string reportPath;
  std::string reportIdentifier;
  std::string installIdentifier;
  std::string betaToken;
  std::uint32_t machExceptionMask = 0;
  bool errorReportingEnabled = false;
  bool customExceptionsEnabled = false;
  std::uint32_t maxCustomExceptions = 0;
  std::uint32_t errorLogBufferSize = 0;
  std::uint32_t logBufferSize = 0;
  std::uint32_t maxCustomKeys = 0;
};

struct BBXExceptionContext {
  const char* path;
  const char* customPath;
  void (*previousTerminateHandler)();
  std::uint32_t maxCustomExceptions;
};

struct BBXHostContext {
  const char* documentsDirectory;
  std::uint32_t pageSize;
  std::uint32_t clockTicksPerSecond;
  int threadStopSignal;  // 0 until the thread-stop handler is installed
};

struct BBXSignalContext {
  const char* path;
  struct sigaction previousActions[kBBXHandledSignalCount];
  stack_t previousStack;
};

inline constexpr std::size_t kBBXExceptionTypeCount = 14;

struct BBXMachExceptionContext {
  std::uint32_t port;
  pthread_t thread;
  const char* path;
  std::uint32_t mask;  // on entry to set-up: the bits left to signals
  std::uint32_t count;
  std::uint32_t masks[kBBXExceptionTypeCount];
  std::uint32_t ports[kBBXExceptionTypeCount];
  std::uint32_t behaviors[kBBXExceptionTypeCount];
  std::uint32_t flavors[kBBXExceptionTypeCount];
};

struct BBXUserLoggingKVStorage {
  const char* incrementalPath;
  const char* compactedPath;
  std::uint32_t compactionThreshold;
  std::uint32_t maxKeys;
};

struct BBXUserLoggingABFiles {
  const char* pathA;
  const char* pathB;
  std::uint32_t maxSize;
};

struct BBXUserLoggingContext {
  BBXUserLoggingKVStorage userKVStorage;
  BBXUserLoggingKVStorage internalKVStorage;
  BBXUserLoggingABFiles logFiles;
  BBXUserLoggingABFiles errorFiles;
  std::uint64_t startTime;  // steady nanoseconds at set-up
};

struct BBXContext {
  std::atomic<bool> initialized;
  pid_t pid;  // the process that started it; a forked child records nothing
  bool debuggerAttached;
  const char* sdkLogPath;
  void* signalStack;
  void* machStack;
  BBXCrashOccurredReceiver* crashOccurredReceiver;
  BBXCrashCallbackReceiver* crashCallbackReceiver;
  bool firstInstall;
  const char* metadataPath;
  const char* binaryImagePath;
  BBXExceptionContext exception;
  BBXHostContext host;
  BBXSignalContext signal;
  BBXMachExceptionContext machException;
  BBXUserLoggingContext userLogging;
};

// One slot of the image store; a load address of 0 marks a free slot.
struct BBXBinaryImageNode {
  std::atomic<std::uintptr_t> loadAddress;
  std::uintptr_t size;
  std::uintptr_t ehFrame;     // the .eh_frame_hdr table
  std::uintptr_t ehFrameEnd;  // the end of the segment that holds it and the records
  std::uintptr_t unwindInfo;
  std::uintptr_t crashInfo;
};

inline constexpr std::size_t kBBXThreadSlotCount = 256;
// What the diagnostic log "sdk.log" may take in one launch before a crash,
// and what the crash itself may add: its lines are held in memory while the
// record is written and follow it.
inline constexpr std::size_t kBBXSDKLogMaxBytes = 64 * 1024;
inline constexpr std::size_t kBBXSDKLogCrashBytes = 4 * 1024;

// One thread that the crash handler stops: it asks (state 1), the thread's
// signal handler saves its registers (2) and waits until released (3).
struct BBXThreadSlot {
  std::atomic<int> tid;
  std::atomic<int> state;
  BBXRegisterState registers;
};

struct BBXUserLoggingWritableState {
  const char* currentLogFile;
  const char* currentErrorFile;
  std::uint32_t userKVCount;
  std::uint32_t internalKVCount;
};

struct BBXWritableContext {
  std::atomic<int> sdkLogDescriptor;
  std::atomic<std::uint64_t> sdkLogBytes;  // written so far this launch
  std::atomic<pid_t> sdkLogHeldBy;         // the thread recording a crash (0: none)
  std::atomic<std::uint32_t> sdkLogHeldFill;
  char sdkLogHeld[kBBXSDKLogCrashBytes];
  std::atomic<bool> crashRecorded;
  // The start-up records a crash record is read with (the image list and
  // the metadata) still being written: a crash meanwhile lets them finish.
  std::atomic<std::uint32_t> startupRecordsPending;
  BBXFile binaryImageFile;
  BBXBinaryImageNode binaryImages[kBBXBinaryImageSlotCount];
  BBXUserLoggingWritableState userLogging;
  std::atomic<std::uint32_t> customExceptionCount;
  // Counts the crash handler's stops of the other threads: a thread still
  // held by an earlier stop lets go when a new one begins, so that a second
  // record (the abort after a fatal exception) can stop it again.
  std::atomic<std::uint32_t> threadStopGeneration;
  BBXThreadSlot threadSlots[kBBXThreadSlotCount];
  // Threads past the slots are stopped too, unrecorded: they hold while
  // threadStopActive names the stop under way (0: none), and count their
  // answers in threadStopUnlisted.
  std::atomic<std::uint32_t> threadStopActive;
  std::atomic<std::uint32_t> threadStopUnlisted;
};

// The capture mechanisms and host facts that start-up installs. Each one
// left empty does nothing (no debugger, no host section).
struct BBXCaptureHooks {
  std::function<void(BBXHostContext*)> hostInitialize;
  std::function<bool(BBXFile*)> recordHost;
  std::function<bool()> debuggerAttached;
  std::function<void(BBXSignalContext*)> signalInitialize;
  std::function<void(BBXMachExceptionContext*)> machExceptionInitialize;
  std::function<void(BBXExceptionContext*, std::atomic<std::uint32_t>*)> exceptionInitialize;
  std::function<std::optional<std::string>()> extensionPointIdentifier;
};
void BBXContextSetCaptureHooks(BBXCaptureHooks hooks);
BBXCaptureHooks BBXContextCaptureHooks();

// Does nothing for null or a record without a report path. Returns once
// the context counts as initialised (or after 5 s, logged).
void BBXContextInitialize(const BBXContextInitData* data);
bool BBXContextIsInitialized();
// Whether the context was started by this process (false in a forked child,
// whose crashes and notes must not land in its parent's report).
bool BBXContextIsOwnProcess();
// False without a context; otherwise whether a crash was already recorded,
// marking it recorded (one atomic exchange). A context counts from the
// moment it is made, before start-up has finished: a crash in the last
// moments of start-up is recorded too (its paths are set before any
// handler is installed).
bool BBXContextMarkAndCheckIfCrashed();
// Marks one of the start-up records (the image list, the metadata) done.
void BBXContextStartupRecordDone();
// For a crash during start-up: waits, at most a short while, until the image
// list and the metadata of the launch are written by the blocks running
// beside the crashed thread, so that its record goes with them.
// Async-signal-safe.
void BBXContextAwaitStartupRecords();

// The serial queues of user logging, the binary image store and exception
// capture; created on first use, never destroyed.
platform::SerialQueue& BBXContextLoggingQueue();
platform::SerialQueue& BBXContextBinaryImagesQueue();
platform::SerialQueue& BBXContextExceptionQueue();

BBXContext* BBXContextGet();
BBXWritableContext* BBXWritableContextGet();

// Writes the launch's "metadata.bbxrecord" (identity, host, application,
// executable) from start-up's copy of the record.
void BBXContextRecordMetadata(const char* path, const BBXContextInitData& data);

// Tests only: waits until every start-up block and the protection step have
// run, or drops the process-wide contexts (the mapping is leaked) so that
// the next start-up begins afresh.
void BBXContextWaitForStartupForTesting();
void BBXContextResetForTesting();

}  // namespace lumora
