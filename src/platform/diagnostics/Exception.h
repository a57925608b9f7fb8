// The platform's exception: a name ("NSRangeException"), a reason, and the
// return addresses of the stack where it was made, which is where it is
// thrown. The system's own code reports errors as values; this type stands
// for the exceptions of the phone platform that end an app, and one that
// nothing catches is handed to the uncaught-exception handler on the way
// out: std::terminate with such an exception in flight calls the handler,
// then the terminate handler that was in place before (the runtime's, which
// prints the exception and aborts).
//
// Plain value; any thread. The handler is process-wide and may be set from
// any thread; it runs on the thread that ends the process and must not
// throw (what it throws is dropped). Failure: none.
#pragma once

#include <exception>
#include <string>
#include <vector>

namespace platform {

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason);

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  // Innermost first, at most kMaxCallStackFrames.
  const std::vector<void*>& callStackReturnAddresses() const { return returnAddresses_; }
  // One text per frame (see CallStack.h).
  std::vector<std::string> callStackSymbols() const;

  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  std::vector<void*> returnAddresses_;
};

using UncaughtExceptionHandler = void (*)(const Exception& exception);

// nullptr removes the handler. The first call puts the platform's step into
// the terminate path (before the terminate handler set until then).
void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);
UncaughtExceptionHandler getUncaughtExceptionHandler();

}  // namespace platform
