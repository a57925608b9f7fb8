#include "screens/account/LMWebViewController.h"

#include "applog/LoggerRegistry.h"
#include "platform/app/Application.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMCustomUtils.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;

void LMWebViewController::loadView() {
  auto root = std::make_shared<ui::View>(ui::Rect{0, 0, 320, 480});
  root->setBackgroundColor(ui::colorWithHexString("efeff4"));
  titleLabel = std::make_shared<ui::Label>(ui::Rect{15, 84, 290, 24});
  titleLabel->setFont(ui::Font::boldSystemFont(17));
  addressLabel = std::make_shared<ui::Label>(ui::Rect{15, 112, 290, 40});
  addressLabel->setFont(ui::Font::systemFont(13));
  addressLabel->setTextColor(ui::colorWithHexString("6d6d72"));
  addressLabel->setNumberOfLines(2);
  browserButton = std::make_shared<ui::Button>(ui::Rect{15, 164, 290, 44});
  browserButton->setTitle(ui::localizedString("Open In Browser"));
  browserButton->setTitleColor(ui::colorWithHexString("2c8efc"));
  browserButton->setBackgroundColor(ui::Color::white());
  indicatorView = std::make_shared<ui::ActivityIndicatorView>(ui::Rect{150, 230, 20, 20});
  for (const auto& view : std::initializer_list<std::shared_ptr<ui::View>>{titleLabel, addressLabel, browserButton,
                                                                            indicatorView}) {
    root->addSubview(view);
  }
  setView(root);
}

void LMWebViewController::viewDidLoad() {
  navigationItem().title = title().value_or("");
  std::weak_ptr<LMWebViewController> weak = std::static_pointer_cast<LMWebViewController>(shared_from_this());
  webView->setDelegate(weak);
  indicatorView->setHidden(true);
  navigationItem().leftBarButtonItem = ui::BarButtonItem{"",
                                                         [weak] {
                                                           if (auto self = weak.lock()) self->back();
                                                         },
                                                         ui::Image::imageNamed("返回按钮.png")};
  browserButton->setAction([weak] {
    if (auto self = weak.lock()) self->openInBrowser();
  });
  addressLabel->setText(url);
  browserButton->setHidden(url.empty());
  if (url.empty()) return;
  webView->setFetchesPages(true);
  webView->loadRequest(ui::WebRequest{url, {}});
}

void LMWebViewController::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  KoStatSDK::recordPage(pageRecordTitle);
}

void LMWebViewController::back() {
  if (auto navigation = navigationController()) navigation->popViewController(false);
}

void LMWebViewController::openInBrowser() {
  if (!url.empty()) platform::Application::shared().openURL(url);
}

void LMWebViewController::webViewDidStartLoad(ui::WebView&) {
  indicatorView->setHidden(false);
  indicatorView->startAnimating();
}

void LMWebViewController::webViewDidFinishLoad(ui::WebView& view) {
  KoStatSDK::recordCountEvent(std::string("load_website_success"), pageRecordTitle);
  indicatorView->setHidden(true);
  indicatorView->stopAnimating();
  titleLabel->setText(view.pageTitle());
}

void LMWebViewController::webViewDidFailLoad(ui::WebView&, const platform::Error& error) {
  indicatorView->setHidden(true);
  indicatorView->stopAnimating();
  QB_LOG_ERROR("Load {} Error: {}", pageRecordTitle, error.description());
  auto message = LMCustomUtils::messageForURLError(error, pageRecordTitle);
  const std::string badNetwork = ui::localizedString("Bad Network");
  ui::AlertView::alert(ui::localizedString("Web Site Failed"), message == badNetwork ? badNetwork : std::string(),
                       std::nullopt, {ui::localizedString("我知道了")})
      ->show();
}

}  // namespace lumora
