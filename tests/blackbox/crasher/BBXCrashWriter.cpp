// A program that leaves a crash report as a crashed launch would: started
// with a report folder, it starts the crash context there (metadata and
// binary image records), then records its threads into the signal record
// from inside ns::crasher of the test library. Exits 0 when all went.
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "blackbox/BBXContext.h"
#include "blackbox/BBXHandler.h"
#include "blackbox/BBXHost.h"

extern "C" void bbxCrasherSetHook(void (*hook)(int));
namespace ns {
int crasher(int value);
}  // namespace ns

extern "C" __attribute__((noinline, visibility("default"))) void bbxCrashWriterRecord(int) {
  lumora::BBXFile file;
  if (!lumora::BBXFileInitWithPathMode(&file, lumora::BBXContextGet()->signal.path, false, false)) _exit(3);
  ucontext_t machine;
  getcontext(&machine);
  lumora::BBXHandler(&file, static_cast<pid_t>(syscall(SYS_gettid)), &machine);
  lumora::BBXFileClose(&file);
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  lumora::BBXContextInitData data;
  data.apiKey = "writer-key";
  data.reportPath = argv[1];
  data.reportIdentifier = "writer-run";
  lumora::BBXContextSetCaptureHooks(lumora::BBXHostCaptureHooks());
  lumora::BBXContextInitialize(&data);
  lumora::BBXContextWaitForStartupForTesting();
  lumora::BBXContextBinaryImagesQueue().sync([] {});
  bbxCrasherSetHook(bbxCrashWriterRecord);
  // Straight out, as a crashed process would go: the queues' threads stay.
  _exit(ns::crasher(7) == 8 ? 0 : 4);
}
