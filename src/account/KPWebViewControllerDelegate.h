// What the login web screen (KPWebViewController) reports to whoever showed
// it: the authorisation info the page handed back, a failure, or the user's
// cancel. Held weakly by the screen; every method is called on the main
// thread, at most once per screen; implementations must not throw.
#pragma once

#include "platform/Error.h"

namespace lumora {

class KPWebViewController;

class KPWebViewControllerDelegate {
 public:
  virtual ~KPWebViewControllerDelegate() = default;
  // The page handed back its result (keys "passInfo", "userId",
  // "passToken", "cUserId", or "url", "query", "fragment").
  virtual void webViewController(KPWebViewController& controller, const platform::Json& info) = 0;
  // The page failed (the screen itself never sends this).
  virtual void webViewController(KPWebViewController& controller, const platform::Error& error) = 0;
  virtual void webViewControllerDidCancel(KPWebViewController& controller) = 0;
};

}  // namespace lumora
