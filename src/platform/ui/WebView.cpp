#include "platform/ui/WebView.h"

#include "platform/Bytes.h"

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
  if (auto delegate = delegate_.lock()) delegate->webViewDidStartLoad(*this);
  return true;
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
  loading_ = false;
}

std::string WebView::evaluateJavaScript(const std::string& script) {
  scripts_.push_back(script);
  return scriptAnswerer_ ? scriptAnswerer_(script) : std::string();
}

}  // namespace platform::ui
