#include "stats/KoACrashMessage.h"

#include "stats/KoStatDateUtil.h"

namespace lumora {
namespace {

std::string timeText(double seconds) { return seconds > 0 ? KoStatDateUtil::stringFromTTL(seconds) : "NULL"; }

std::string textOrNull(const std::optional<std::string>& text) { return text && !text->empty() ? *text : "NULL"; }

}  // namespace

void KoACrashMessage::encodeWithCoder(platform::KeyedArchive& coder) const {
  platform::KeyedArchive state;
  objState.encodeWithCoder(state);
  platform::KeyedArchive appInfo;
  objAppInfo.encodeWithCoder(appInfo);
  platform::KeyedArchive exception;
  objException.encodeWithCoder(exception);
  coder.encodeArchive(kStateKey, state);
  coder.encodeArchive(kAppInfoKey, appInfo);
  coder.encodeArchive(kExceptionKey, exception);
}

std::optional<KoACrashMessage> KoACrashMessage::initWithCoder(const platform::KeyedArchive& coder) {
  auto state = coder.decodeArchive(kStateKey);
  auto appInfo = coder.decodeArchive(kAppInfoKey);
  auto exception = coder.decodeArchive(kExceptionKey);
  if (!state || !appInfo || !exception) return std::nullopt;
  KoACrashMessage message;
  message.objState = KoACMState::initWithCoder(*state);
  message.objAppInfo = KoACMAppInfo::initWithCoder(*appInfo);
  message.objException = KoACMException::initWithCoder(*exception);
  return message;
}

std::string KoACrashMessage::getLuanchTimeString() const { return timeText(getLuanchTime()); }

std::string KoACrashMessage::getCrashTimeString() const { return timeText(getCrashTime()); }

std::string KoACrashMessage::getCrashType() const { return textOrNull(objException.strType); }

std::string KoACrashMessage::getCrashDesc() const { return textOrNull(objException.strDesc); }

std::string KoACrashMessage::getCrashCallstack() const {
  if (!objException.arrCallStack || objException.arrCallStack->empty()) return "NULL";
  std::string text;
  for (const std::string& frame : *objException.arrCallStack) text += frame + " \n";
  return text;
}

std::string KoACrashMessage::getCrashInfomation() const {
  return objAppInfo.description() + objException.description() + objState.description();
}

}  // namespace lumora
