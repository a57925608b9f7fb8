// The statistics kit's own crash catcher: it records the last crash of the
// app (an uncaught platform exception, or one of the fatal signals SIGQUIT,
// SIGILL, SIGTRAP, SIGFPE, SIGBUS, SIGSEGV, SIGSYS, SIGXCPU, SIGXFSZ) as one
// record (KoACrashReportStore), and uploads it on a later run
// (KoACrashReportUpload), deleting it once the service accepted it.
//
// The signal handler goes on the process's fatal-signal chain
// (platform/diagnostics/FatalSignalChain.h), which keeps what was there: a
// signal that is ignored stays ignored (SIGPIPE and SIGALRM are never
// taken: network and timer code use them), and after the handlers ran the
// earlier action is put back and the signal delivered to it again, so an
// earlier handler still runs and, without one, the process dies by that
// signal. The signal handler writes a raw note with write(2) only, from
// parts prepared at installation; the exception handler writes the record
// itself.
//
// Ownership: shareSingletion() is process-wide, made on first use, never
// destroyed; the crash state is process-wide (each controller starts it
// afresh). Other controllers (tests) must outlive nothing but themselves:
// the destructor waits for the uploads they started. Threading: any thread;
// the state changes on the main thread (application notifications) and is
// read by the crash paths without a lock (atomics). Failures: silent.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/diagnostics/Exception.h"
#include "stats/KoACMState.h"
#include "stats/KoACrashReportStore.h"
#include "stats/KoACrashReportUpload.h"

namespace lumora {

class KoStatCrashController {
 public:
  static KoStatCrashController& shareSingletion();
  // Starts the process-wide state afresh: not active, no foreground
  // returns, run time now (whole seconds), no crash.
  explicit KoStatCrashController(KoACrashReportUpload& upload = KoACrashReportUpload::shareSingletion(),
                                 KoACrashReportStore& store = KoACrashReportStore::shareSingletion());
  ~KoStatCrashController();
  KoStatCrashController(const KoStatCrashController&) = delete;
  KoStatCrashController& operator=(const KoStatCrashController&) = delete;

  // The process-wide state now.
  static KoACMState getCrashState();
  // Writes a record of the current state and app with this exception; an
  // empty call stack is replaced by the calling thread's.
  static void saveCrashInfoWithType(const std::string& type, const std::string& desc,
                                    const std::vector<std::string>& callstack);

  // The mode of KoStatCrashReporter::enabledCrashReportWithMode: 1 uploads
  // with the statistics commits, 0 uploads a pending record now, any other
  // uploads nothing; the handlers are installed in every case.
  void enabledCrashReportWithMode(std::int32_t mode);
  // Both handlers; again is harmless (what was installed before the first
  // time stays the one handed over to).
  void installExceptionHandler();
  void removeExceptionHandler() {}

  void enabledSyncUpload(bool enabled) { isSyncUpload_.store(enabled); }
  bool isSyncUpload() const { return isSyncUpload_.load(); }
  bool hasCrashReport() { return store_.hasCrashFile(); }
  bool deleteCrashReport() { return store_.deleteCrashFile(); }
  // Queues the upload of the record, when there is one that reads back.
  void uploadCrashReport();
  // The uploader's result: 0 deletes the record, anything else keeps it.
  void crashReportDidFinish(KoACrashReportUpload& upload, std::int32_t state);

 private:
  KoACrashReportUpload& upload_;
  KoACrashReportStore& store_;
  std::atomic<bool> isSyncUpload_{false};
  // An upload of the record is on its way: another commit does not post the
  // same record again before it has ended.
  std::atomic<bool> uploading_{false};
  std::shared_ptr<KoACrashReportUploadDelegate> delegate_;
};

// The handlers themselves, as installed.
void KoACrashExceptionHandler(const platform::Exception& exception);
void KoACrashSignalHandler(int signal, siginfo_t* info, void* context);

}  // namespace lumora
