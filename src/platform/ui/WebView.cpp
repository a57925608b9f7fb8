#include "platform/ui/WebView.h"

#include <regex>

#include "platform/Bytes.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/SynchronousReply.h"

namespace platform::ui {

std::optional<std::string> WebRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

bool WebViewDelegate::webViewShouldStartLoad(WebView&, const WebRequest&, WebNavigationType) {
  return true;
}
void WebViewDelegate::webViewDidStartLoad(WebView&) {}
void WebViewDelegate::webViewDidFinishLoad(WebView&) {}
void WebViewDelegate::webViewDidFailLoad(WebView&, const Error&) {}

namespace {
std::string titleOfPage(const Bytes& body) {
  static const std::regex kTitle("<title[^>]*>([^<]*)</title>", std::regex::icase);
  std::string text(body.begin(), body.end());
  std::smatch match;
  if (!std::regex_search(text, match, kTitle)) return {};
  return match[1].str();
}
}  // namespace

WebView::~WebView() { ticket_->view = nullptr; }

bool WebView::loadRequest(const WebRequest& request) {
  return start(request, WebNavigationType::Other);
}

bool WebView::navigate(const WebRequest& request, WebNavigationType type) {
  return start(request, type);
}

bool WebView::navigate(const std::string& url, WebNavigationType type) {
  return start(WebRequest{url, {}}, type);
}

bool WebView::start(const WebRequest& request, WebNavigationType type) {
  if (auto delegate = delegate_.lock()) {
    if (!delegate->webViewShouldStartLoad(*this, request, type)) return false;
  }
  current_ = request;
  loaded_.push_back(request);
  loading_ = true;
  ++ticket_->generation;
  if (auto delegate = delegate_.lock()) delegate->webViewDidStartLoad(*this);
  if (fetches_ && loading_) fetch(request);
  return true;
}

void WebView::fetch(const WebRequest& request) {
  http::Request get;
  get.url = request.url;
  get.method = "GET";
  for (const auto& [name, value] : request.headers) get.headers.set(name, value);
  auto ticket = ticket_;
  const unsigned generation = ticket->generation;
  globalQueue().async([get = std::move(get), ticket, generation] {
    auto reply = http::sendSynchronousRequest(get);
    MainQueue::main().async([reply = std::move(reply), ticket, generation] {
      WebView* view = ticket->view;
      if (!view || ticket->generation != generation) return;
      if (!reply.ok()) {
        view->failLoad(*reply.error);
        return;
      }
      view->pageTitle_ = titleOfPage(reply.data);
      view->finishLoad();
    });
  });
}

void WebView::finishLoad() {
  if (!loading_) return;
  loading_ = false;
  if (auto delegate = delegate_.lock()) delegate->webViewDidFinishLoad(*this);
}

void WebView::failLoad(const Error& error) {
  if (!loading_) return;
  loading_ = false;
  if (auto delegate = delegate_.lock()) delegate->webViewDidFailLoad(*this, error);
}

void WebView::stopLoading() {
  ++stopCount_;
  ++ticket_->generation;
  loading_ = false;
}

std::string WebView::evaluateJavaScript(const std::string& script) {
  scripts_.push_back(script);
  return scriptAnswerer_ ? scriptAnswerer_(script) : std::string();
}

}  // namespace platform::ui
