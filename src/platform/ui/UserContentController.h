// The newer web view's bridge between the app and its pages: user scripts
// the view injects into every page, and named message handlers that a page
// reaches through window.webkit.messageHandlers.<name>.postMessage(body).
// Pages are played by tests: postMessage() is a page posting a message.
// A web view's configuration carries one controller.
//
// Ownership: shared by the configurations that name it; handlers are held
// weakly. Threading: main thread only, like the views. Failure: a message
// to a name without a live handler is dropped (false).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace platform::ui {

enum class UserScriptInjectionTime { AtDocumentStart, AtDocumentEnd };

struct UserScript {
  std::string source;
  UserScriptInjectionTime injectionTime = UserScriptInjectionTime::AtDocumentEnd;
  bool forMainFrameOnly = true;

  // Declares the user-script class to the class registry, as the platform
  // that has web views does.
  static void registerClass();
};

struct ScriptMessage {
  std::string name;
  Json body;
};

class UserContentController;

class ScriptMessageHandler {
 public:
  virtual ~ScriptMessageHandler() = default;
  virtual void userContentControllerDidReceiveScriptMessage(UserContentController& controller,
                                                            const ScriptMessage& message) = 0;
};

class UserContentController {
 public:
  void addUserScript(UserScript script) { scripts_.push_back(std::move(script)); }
  void removeAllUserScripts() { scripts_.clear(); }
  const std::vector<UserScript>& userScripts() const { return scripts_; }

  // Replaces a handler of that name.
  void addScriptMessageHandler(std::weak_ptr<ScriptMessageHandler> handler, const std::string& name);
  void removeScriptMessageHandler(const std::string& name) { handlers_.erase(name); }
  bool hasScriptMessageHandler(const std::string& name) const;

  // The page posts `body` to the handler `name`.
  bool postMessage(const std::string& name, const Json& body);

 private:
  std::vector<UserScript> scripts_;
  std::map<std::string, std::weak_ptr<ScriptMessageHandler>> handlers_;
};

struct WebViewConfiguration {
  std::shared_ptr<UserContentController> userContentController = std::make_shared<UserContentController>();
};

}  // namespace platform::ui
