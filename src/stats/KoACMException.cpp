#include "stats/KoACMException.h"

#include <fmt/format.h>

namespace lumora {
namespace {

// A list's text as the platform prints one: "(", each element indented and
// quoted on a line of its own (commas between), ")".
std::string listText(const std::vector<std::string>& items) {
  std::string text = "(\n";
  for (std::size_t i = 0; i < items.size(); ++i) {
    text += "    \"";
    for (char c : items[i]) {
      if (c == '"' || c == '\\') text += '\\';
      text += c;
    }
    text += i + 1 < items.size() ? "\",\n" : "\"\n";
  }
  return text + ")";
}

}  // namespace

void KoACMException::encodeWithCoder(platform::KeyedArchive& coder) const {
  if (strType) coder.encodeString(kTypeKey, *strType);
  if (strDesc) coder.encodeString(kCodesKey, *strDesc);
  if (arrCallStack) {
    platform::ArchiveValue::Array frames(arrCallStack->begin(), arrCallStack->end());
    coder.encodeArray(kCallStackKey, std::move(frames));
  }
}

KoACMException KoACMException::initWithCoder(const platform::KeyedArchive& coder) {
  KoACMException exception;
  exception.strType = coder.decodeString(kTypeKey);
  exception.strDesc = coder.decodeString(kCodesKey);
  if (const auto* frames = coder.decodeArray(kCallStackKey)) {
    exception.arrCallStack.emplace();
    for (const platform::ArchiveValue& frame : *frames) {
      if (const std::string* text = frame.asString()) exception.arrCallStack->push_back(*text);
    }
  }
  return exception;
}

std::string KoACMException::description() const {
  return fmt::format("\n{}:{} \n{}:{} \n{}:{} \n", kTypeKey, strType.value_or("(null)"), kCodesKey,
                     strDesc.value_or("(null)"), kCallStackKey, arrCallStack ? listText(*arrCallStack) : "(null)");
}

}  // namespace lumora
