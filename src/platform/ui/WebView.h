// A headless stand-in for the phone's embedded web view: a view that draws
// nothing of the page (what is behind it shows through). It keeps the
// request it was asked to load (URL and header fields, so the Cookie field
// travels with it) and asks its delegate about every navigation, as the
// real view does. A test or the demo plays the page:
// navigate() is a navigation the page starts (a link, a form, a redirect),
// finishLoad() and failLoad() end the current load. A view told to fetch
// pages GETs each one it starts instead (on the global queue, through
// platform::http) and ends the load itself on the main queue: failed on a
// transport error, else finished, with the page's <title> kept.
//
// Ownership: a view (made with std::make_shared to take part in a view
// tree), usually owned by the screen that shows it; the delegate is held
// weakly. Threading: main thread only (not locked), like
// the real view. Failures: a refused navigation leaves the current request
// as it was; nothing throws.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/ui/View.h"

namespace platform::ui {

// One request for the web view: an absolute URL and extra header fields.
struct WebRequest {
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;

  // First value of the header field (name compared without ASCII case).
  std::optional<std::string> header(const std::string& name) const;
};

enum class WebNavigationType { LinkClicked, FormSubmitted, BackForward, Reload, FormResubmitted, Other };

class WebView;

// Everything optional: the defaults allow every navigation and ignore the
// load events.
class WebViewDelegate {
 public:
  virtual ~WebViewDelegate() = default;
  virtual bool webViewShouldStartLoad(WebView& webView, const WebRequest& request,
                                      WebNavigationType type);
  virtual void webViewDidStartLoad(WebView& webView);
  virtual void webViewDidFinishLoad(WebView& webView);
  virtual void webViewDidFailLoad(WebView& webView, const Error& error);
};

class WebView : public View {
 public:
  WebView() = default;
  ~WebView() override;
  WebView(const WebView&) = delete;
  WebView& operator=(const WebView&) = delete;

  void setDelegate(std::weak_ptr<WebViewDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<WebViewDelegate> delegate() const { return delegate_.lock(); }

  // The app loads a page (navigation type Other). Returns whether the
  // delegate let the load start.
  bool loadRequest(const WebRequest& request);
  // The page navigates. Returns whether the delegate let it start.
  bool navigate(const WebRequest& request, WebNavigationType type = WebNavigationType::LinkClicked);
  bool navigate(const std::string& url, WebNavigationType type = WebNavigationType::LinkClicked);
  // The current load ends: the delegate hears of it only while loading.
  void finishLoad();
  void failLoad(const Error& error);
  void stopLoading();

  bool isLoading() const { return loading_; }
  // The request of the page shown (or being loaded).
  const std::optional<WebRequest>& request() const { return current_; }
  // Every request that was allowed to start, in order.
  const std::vector<WebRequest>& loadedRequests() const { return loaded_; }
  // How often stopLoading() was called.
  int stopCount() const { return stopCount_; }

  // Off by default.
  void setFetchesPages(bool fetches) { fetches_ = fetches; }
  // The <title> of the last page fetched ("" when it had none).
  const std::string& pageTitle() const { return pageTitle_; }

  // Scripts are kept, not run; the page's answer is what the page player
  // gives (empty without one).
  std::string evaluateJavaScript(const std::string& script);
  using ScriptAnswerer = std::function<std::string(const std::string& script)>;
  void setScriptAnswerer(ScriptAnswerer answerer) { scriptAnswerer_ = std::move(answerer); }
  const std::vector<std::string>& evaluatedScripts() const { return scripts_; }

 private:
  bool start(const WebRequest& request, WebNavigationType type);
  void fetch(const WebRequest& request);

  // Lets a fetch that ends after the view is gone, or after a newer load
  // began, know it (main thread only).
  struct FetchTicket {
    WebView* view = nullptr;
    unsigned generation = 0;
  };
  std::shared_ptr<FetchTicket> ticket_ = std::make_shared<FetchTicket>(FetchTicket{this, 0});
  bool fetches_ = false;
  std::string pageTitle_;

  std::weak_ptr<WebViewDelegate> delegate_;
  std::optional<WebRequest> current_;
  std::vector<WebRequest> loaded_;
  std::vector<std::string> scripts_;
  ScriptAnswerer scriptAnswerer_;
  bool loading_ = false;
  int stopCount_ = 0;
};

}  // namespace platform::ui
