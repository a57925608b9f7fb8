#include "applog/AppLogDelegate.h"

#include "applog/LoggerRegistry.h"

namespace lumora {

AppLogDelegate::AppLogDelegate() { appendLogMessage = &AppLogDelegate::appendLogMessageToAppLog; }

void AppLogDelegate::appendLogMessageToAppLog(const LMLogMessage& message) {
  std::uint32_t flag = 0;
  switch (message.flag()) {
    case kLMLogFlagError: flag = kLogFlagError; break;
    case kLMLogFlagWarning: flag = kLogFlagWarning; break;
    case kLMLogFlagInfo: flag = kLogFlagInfo; break;
    case kLMLogFlagDebug:
    case kLMLogFlagVerbose: return;
    default: flag = kLogFlagError; break;  // a level nobody knows is shown, as an error
  }
  LoggerRegistry::log(flag != kLogFlagError, flag, kAppLogContext, message.fileName(),
                      message.funcName(), message.line(), message.message());
}

}  // namespace lumora
