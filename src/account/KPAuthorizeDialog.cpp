#include "account/KPAuthorizeDialog.h"

#include <cmath>
#include <numbers>

#include "account/KPWebViewController.h"
#include "utils/LMLogRedaction.h"
#include "utils/LMLogUtil.h"
#include "platform/dispatch/MainQueue.h"

namespace lumora {

using platform::InterfaceOrientation;

std::shared_ptr<KPAuthorizeDialog> KPAuthorizeDialog::create() {
  auto dialog = std::make_shared<KPAuthorizeDialog>();
  dialog->build();
  return dialog;
}

std::shared_ptr<KPAuthorizeDialog> KPAuthorizeDialog::create(
    const std::string& url, const platform::Json& authParams,
    const std::vector<platform::http::Cookie>& cookies, const std::optional<std::string>& redirectURI,
    const std::weak_ptr<KPAuthorizeDialogDelegate>& delegate) {
  auto dialog = create();
  dialog->serverURL_ = url;
  dialog->authParams_ = authParams;
  dialog->arrCookies_ = cookies;
  dialog->appRedirectURI_ = redirectURI;
  dialog->delegate_ = delegate;
  return dialog;
}

KPAuthorizeDialog::~KPAuthorizeDialog() { removeObservers(); }

std::shared_ptr<KPAuthorizeDialog> KPAuthorizeDialog::self() {
  return std::static_pointer_cast<KPAuthorizeDialog>(shared_from_this());
}

void KPAuthorizeDialog::build() {
  webView_->setDelegate(self());
  addSubview(webView_);
  closeButton_->setImage(platform::ui::Image::imageNamed(kCloseImage));
  closeButton_->setTitleColor(
      {kCloseTitleRed / 255.0, kCloseTitleGreen / 255.0, kCloseTitleBlue / 255.0, 1});
  closeButton_->setTitleColor(platform::ui::Color::white(), platform::ui::ControlState::Highlighted);
  closeButton_->titleLabel()->setFont(platform::ui::Font::boldSystemFont(kCloseTitleFontSize));
  std::weak_ptr<KPAuthorizeDialog> weak = self();
  closeButton_->setAction([weak] {
    if (auto dialog = weak.lock()) dialog->cancel();
  });
  addSubview(closeButton_);
  addSubview(indicatorView_);
}

void KPAuthorizeDialog::draw(platform::ui::DisplayList& list) const {
  const platform::ui::Rect b = bounds();
  drawRect(list, b, platform::ui::Color::gray(kPanelGrey, kPanelFillAlpha), 0);
  strokeLines(list,
              {std::ceil(b.x), std::ceil(b.y + 1), std::ceil(b.width), std::ceil(b.height - 1)},
              platform::ui::Color::gray(kPanelGrey));
}

void KPAuthorizeDialog::drawRect(platform::ui::DisplayList& list, const platform::ui::Rect& rect,
                                 const platform::ui::Color& fill, double radius) {
  if (radius == 0) {
    list.fillRect(rect, fill);
    return;
  }
  list.fillRect({rect.x + 1, rect.y + 1, rect.width - 1, rect.height - 1}, fill, radius);
}

void KPAuthorizeDialog::strokeLines(platform::ui::DisplayList& list, const platform::ui::Rect& rect,
                                    const platform::ui::Color& stroke) {
  const double left = rect.x;
  const double top = rect.y;
  const double right = rect.x + rect.width;
  const double bottom = rect.y + rect.height;
  list.line({left, top}, {right, top}, kBorderWidth, stroke);
  list.line({right, top}, {right, bottom}, kBorderWidth, stroke);
  list.line({right, bottom}, {left, bottom}, kBorderWidth, stroke);
  list.line({left, bottom}, {left, top}, kBorderWidth, stroke);
}

void KPAuthorizeDialog::layoutSubviews() {
  if (webView_->frame().width <= 0) return;  // not placed yet
  const platform::ui::Rect b = bounds();
  webView_->setFrame({1, 1, b.width - 2, b.height - 1});
}

void KPAuthorizeDialog::load() {
  webView_->loadRequest(KPWebViewController::firstPageRequest(serverURL_, authParams_, arrCookies_));
}

void KPAuthorizeDialog::showIndicator() {
  platform::ui::Rect frame = indicatorView_->frame();
  frame.width = frame.height = 20;
  const platform::ui::Rect& web = webView_->frame();
  frame.x = web.x + (web.width - frame.width) / 2;
  frame.y = web.y + (web.height - frame.height) / 2;
  indicatorView_->setFrame(frame);
  indicatorView_->startAnimating();
}

void KPAuthorizeDialog::hideIndicator() { indicatorView_->stopAnimating(); }

platform::ui::Transform KPAuthorizeDialog::transformForOrientation() const {
  switch (platform::Application::shared().statusBarOrientation()) {
    case InterfaceOrientation::LandscapeRight:
      return platform::ui::Transform::rotated(std::numbers::pi / 2);
    case InterfaceOrientation::LandscapeLeft:
      return platform::ui::Transform::rotated(3 * std::numbers::pi / 2);
    case InterfaceOrientation::PortraitUpsideDown:
      return platform::ui::Transform::rotated(-std::numbers::pi);
    default:
      return platform::ui::Transform::identity();
  }
}

void KPAuthorizeDialog::sizeToFitOrientation(bool transform) {
  if (transform) setTransform(platform::ui::Transform::identity());
  auto& app = platform::Application::shared();
  platform::ui::Rect screen = app.applicationFrame();
  double centerX = screen.x + std::ceil(screen.width / 2);
  double centerY = screen.y + std::ceil(screen.height / 2);
  double width = std::floor(screen.width);
  double height = std::floor(screen.height);
  previousOrientation_ = app.statusBarOrientation();
  if (platform::isLandscape(previousOrientation_)) std::swap(width, height);
  setFrame({centerX - width / 2, centerY - height / 2, width, height});
  if (transform) setTransform(transformForOrientation());
}

bool KPAuthorizeDialog::shouldRotateToOrientation(InterfaceOrientation orientation) const {
  return orientation != previousOrientation_ && orientation != InterfaceOrientation::Unknown;
}

void KPAuthorizeDialog::updateWebOrientation() {
  if (platform::isLandscape(platform::Application::shared().statusBarOrientation())) {
    webView_->evaluateJavaScript("document.body.setAttribute('orientation', 90);");
  } else {
    webView_->evaluateJavaScript("document.body.removeAttribute('orientation');");
  }
}

void KPAuthorizeDialog::deviceOrientationDidChange() {
  auto orientation = platform::Application::shared().statusBarOrientation();
  if (shouldRotateToOrientation(orientation)) sizeToFitOrientation(true);
}

void KPAuthorizeDialog::addObservers() {
  if (observer_ != 0) return;
  std::weak_ptr<KPAuthorizeDialog> weak = self();
  observer_ = platform::NotificationCenter::defaultCenter().addObserver(
      kOrientationNotification, [weak](const std::string&, const platform::Json&) {
        if (auto dialog = weak.lock()) dialog->deviceOrientationDidChange();
      });
}

void KPAuthorizeDialog::removeObservers() {
  if (observer_ == 0) return;
  platform::NotificationCenter::defaultCenter().removeObserver(observer_);
  observer_ = 0;
}

void KPAuthorizeDialog::show() {
  load();
  sizeToFitOrientation(false);
  const platform::ui::Rect& panel = frame();
  closeButton_->sizeToFit();
  webView_->setFrame({1, 1, panel.width - 2, panel.height - 1});
  const platform::ui::Rect& web = webView_->frame();
  closeButton_->setFrame({web.x + web.width - kCloseButtonSize, web.y, kCloseButtonSize, kCloseButtonSize});
  showWebView();
  showIndicator();
  addObservers();
}

void KPAuthorizeDialog::afterDelay(double seconds, void (KPAuthorizeDialog::*step)()) {
  std::weak_ptr<KPAuthorizeDialog> weak = self();
  platform::MainQueue::main().asyncAfter(platform::seconds(seconds), [weak, step] {
    if (auto dialog = weak.lock()) ((*dialog).*step)();
  });
}

void KPAuthorizeDialog::showWebView() {
  auto window = platform::Application::shared().keyWindow();
  modalBackgroundView_->setFrame(window->frame());
  modalBackgroundView_->addSubview(self());
  window->addSubview(modalBackgroundView_);
  // Grow from nothing past full size, shrink a little, then settle.
  setTransform(transformForOrientation().scaled(0.001));
  setTransform(transformForOrientation().scaled(1.1));
  afterDelay(kBounce1Duration, &KPAuthorizeDialog::bounce1AnimationStopped);
}

void KPAuthorizeDialog::bounce1AnimationStopped() {
  setTransform(transformForOrientation().scaled(0.9));
  afterDelay(kBounce2Duration, &KPAuthorizeDialog::bounce2AnimationStopped);
}

void KPAuthorizeDialog::bounce2AnimationStopped() {
  // The last step's end state, reached once it has run its course.
  std::weak_ptr<KPAuthorizeDialog> weak = self();
  platform::MainQueue::main().asyncAfter(platform::seconds(kBounce3Duration), [weak] {
    if (auto dialog = weak.lock()) dialog->setTransform(dialog->transformForOrientation());
  });
}

void KPAuthorizeDialog::hide() {
  removeObservers();
  webView_->stopLoading();
  auto keep = self();  // stays in the tree until _hide runs
  platform::MainQueue::main().async([keep] { keep->_hide(); });
}

void KPAuthorizeDialog::_hide() {
  removeFromSuperview();
  modalBackgroundView_->removeFromSuperview();
}

void KPAuthorizeDialog::cancel() {
  hide();
  if (auto delegate = delegate_.lock()) delegate->authorizeDialogDidCancel(*this);
}

bool KPAuthorizeDialog::webViewShouldStartLoad(platform::ui::WebView&, const platform::ui::WebRequest& request,
                                               platform::ui::WebNavigationType) {
  LM_LOG_INFO("Web request url: {}", LMLoggableURL(request.url));
  if (appRedirectURI_ && !appRedirectURI_->empty() && request.url.rfind(*appRedirectURI_, 0) == 0) {
    auto keep = self();
    if (auto delegate = delegate_.lock()) {
      delegate->authorizeDialog(*this, KPWebViewController::redirectInfo(request.url));
    }
    hide();
    return false;
  }
  return true;
}

void KPAuthorizeDialog::webViewDidFinishLoad(platform::ui::WebView&) { hideIndicator(); }

void KPAuthorizeDialog::webViewDidFailLoad(platform::ui::WebView&, const platform::Error&) { hideIndicator(); }

}  // namespace lumora
