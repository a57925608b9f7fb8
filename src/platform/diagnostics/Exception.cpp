#include "platform/diagnostics/Exception.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/diagnostics/CallStack.h"

namespace platform {
namespace {

std::atomic<UncaughtExceptionHandler> uncaughtHandler{nullptr};
std::terminate_handler previousTerminate = nullptr;

// The terminate path: an Exception in flight goes to the handler first.
[[noreturn]] void terminateWithHandler() {
  if (std::exception_ptr inFlight = std::current_exception()) {
    try {
      std::rethrow_exception(inFlight);
    } catch (const Exception& exception) {
      if (UncaughtExceptionHandler handler = uncaughtHandler.load()) {
        try {
          handler(exception);
        } catch (...) {
        }
      }
    } catch (...) {
    }
  }
  if (previousTerminate != nullptr) previousTerminate();
  std::abort();
}

}  // namespace

Exception::Exception(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)), returnAddresses_(platform::callStackReturnAddresses()) {}

std::vector<std::string> Exception::callStackSymbols() const { return platform::callStackSymbols(returnAddresses_); }

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) {
  static std::once_flag hooked;
  std::call_once(hooked, [] { previousTerminate = std::set_terminate(terminateWithHandler); });
  uncaughtHandler.store(handler);
}

UncaughtExceptionHandler getUncaughtExceptionHandler() { return uncaughtHandler.load(); }

}  // namespace platform
