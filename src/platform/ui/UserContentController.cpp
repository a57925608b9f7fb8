#include "platform/ui/UserContentController.h"

#include "platform/device/ClassRegistry.h"

namespace platform::ui {

void UserScript::registerClass() { ClassRegistry::registerClass("WKUserScript"); }

void UserContentController::addScriptMessageHandler(std::weak_ptr<ScriptMessageHandler> handler,
                                                    const std::string& name) {
  handlers_[name] = std::move(handler);
}

bool UserContentController::hasScriptMessageHandler(const std::string& name) const {
  auto found = handlers_.find(name);
  return found != handlers_.end() && !found->second.expired();
}

bool UserContentController::postMessage(const std::string& name, const Json& body) {
  auto found = handlers_.find(name);
  if (found == handlers_.end()) return false;
  auto handler = found->second.lock();
  if (!handler) return false;
  handler->userContentControllerDidReceiveScriptMessage(*this, ScriptMessage{name, body});
  return true;
}

}  // namespace platform::ui
