#include "blackbox/BBXWebView.h"

#include <optional>

#include "blackbox/BBXException.h"
#include "platform/device/ClassRegistry.h"

namespace lumora {

namespace {

constexpr const char* kBBXHookCommon = R"JS((function () {
  var blackboxPageOnLoad = window.onload;
  var blackboxPageOnError = window.onerror;
  window.blackboxPageOnError = function () { return blackboxPageOnError; };
  window.blackboxOnLoad = function () {
    if (window.onerror !== window.blackboxOnError) {
      blackboxPageOnError = window.onerror;
      window.onerror = window.blackboxOnError;
    }
    if (typeof blackboxPageOnLoad === 'function') blackboxPageOnLoad.apply(this, arguments);
  };
)JS";

constexpr const char* kBBXHookFrame = R"JS(  window.blackboxOnError = function (msg, url, line, column, error) {
    var target = 'blackbox://exception/uiwebkit?msg=' + encodeURIComponent(msg) +
        '&url=' + encodeURIComponent(url) + '&line=' + encodeURIComponent(line);
    if (column) target += '&column=' + encodeURIComponent(column);
    var frame = document.createElement('IFRAME');
    frame.setAttribute('src', target);
    document.documentElement.appendChild(frame);
    frame.parentNode.removeChild(frame);
    frame = null;
    var previous = window.blackboxPageOnError();
    if (typeof previous === 'function') return previous(msg, url, line, column, error);
  };
  window.onerror = window.blackboxOnError;
  window.onload = window.blackboxOnLoad;
  return 'loaded';
})();
)JS";

constexpr const char* kBBXHookMessage = R"JS(  window.blackboxOnError = function (msg, url, line, column, error) {
    window.webkit.messageHandlers.blackbox.postMessage({msg: msg, url: url, line: line, column: column});
    var previous = window.blackboxPageOnError();
    if (typeof previous === 'function') return previous(msg, url, line, column, error);
  };
  window.onerror = window.blackboxOnError;
  window.onload = window.blackboxOnLoad;
  return 'loaded';
})();
)JS";

}  // namespace

std::string BBXWebViewHookScript(bool messageHandlerVariant) {
  return std::string(kBBXHookCommon) + (messageHandlerVariant ? kBBXHookMessage : kBBXHookFrame);
}

bool BBXWebViewMonitorUIWebView(platform::ui::WebView& webView) {
  if (webView.evaluateJavaScript("typeof blackboxOnError") != "undefined") return false;
  return webView.evaluateJavaScript(BBXWebViewHookScript(false)) == "loaded";
}

bool BBXWebViewHandleRequest(const platform::ui::WebRequest& request) {
  const std::string& url = request.url;
  const auto colon = url.find(':');
  if (colon == std::string::npos || url.compare(0, colon, "blackbox") != 0) return false;
  std::optional<std::string> message;
  const auto question = url.find('?');
  if (question != std::string::npos) {
    std::string query = url.substr(question + 1);
    if (const auto fragment = query.find('#'); fragment != std::string::npos) query.resize(fragment);
    std::size_t start = 0;
    while (start <= query.size()) {
      std::size_t end = query.find('&', start);
      if (end == std::string::npos) end = query.size();
      const std::string part = query.substr(start, end - start);
      const auto equals = part.find('=');
      if (equals != std::string::npos && part.find('=', equals + 1) == std::string::npos &&
          part.compare(0, equals, "msg") == 0) {
        message = part.substr(equals + 1);
      }
      start = end + 1;
    }
  }
  BBXExceptionRecordScriptError(message ? message->c_str() : nullptr);
  return true;
}

bool BBXWebViewMonitorWKWebViewConfiguration(platform::ui::WebViewConfiguration& configuration) {
  if (!platform::ClassRegistry::lookUp("WKUserScript") || !configuration.userContentController) return false;
  configuration.userContentController->addUserScript(
      {BBXWebViewHookScript(true), platform::ui::UserScriptInjectionTime::AtDocumentStart, true});
  return true;
}

bool BBXWebViewHandleScriptMessage(const platform::ui::ScriptMessage& message) {
  if (!message.body.is_object()) return false;
  auto found = message.body.find("msg");
  if (found == message.body.end() || found->is_null()) {
    BBXExceptionRecordScriptError(nullptr);
  } else {
    const std::string text = found->is_string() ? found->get<std::string>() : found->dump();
    BBXExceptionRecordScriptError(text.c_str());
  }
  return true;
}

}  // namespace lumora
