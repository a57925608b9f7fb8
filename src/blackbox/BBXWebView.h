// Script errors of web pages, recorded as non-fatal "javascript"
// exceptions. The older web view is hooked by evaluating the hook script in
// its page (once: a page that already has blackboxOnError is left alone);
// its errors come back as "blackbox:" navigations that the host's web-view
// delegate hands to BBXWebViewHandleRequest. The newer web view gets the
// hook as a user script whose errors arrive as messages to the "blackbox"
// handler.
//
// Stateless. Threading: main thread, like the views. Failure: each call
// answers false when it did nothing.
#pragma once

#include <string>

#include "platform/ui/UserContentController.h"
#include "platform/ui/WebView.h"

namespace lumora {

// The hook script: the common part, then the variant that reports through
// a "blackbox:" frame load or through the message handler.
std::string BBXWebViewHookScript(bool messageHandlerVariant);

bool BBXWebViewMonitorUIWebView(platform::ui::WebView& webView);
// True for a "blackbox:" request, after recording its "msg" (as it stands
// in the query; none records a null reason).
bool BBXWebViewHandleRequest(const platform::ui::WebRequest& request);
bool BBXWebViewMonitorWKWebViewConfiguration(platform::ui::WebViewConfiguration& configuration);
bool BBXWebViewHandleScriptMessage(const platform::ui::ScriptMessage& message);

}  // namespace lumora
