#include "screens/account/LMLoginScreens.h"

#include <algorithm>

#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/account/LMOTPViewController.h"
#include "screens/account/LMWebViewController.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMStoryboard.h"
#include "stats/KoStatSDK.h"
#include "utils/ServiceHosts.h"

namespace lumora {

namespace ui = platform::ui;

void showLoginAlert(const std::optional<std::string>& title, const std::optional<std::string>& message) {
  ui::AlertView::alert(title.value_or(ui::localizedString("Login Failed")), message.value_or(""), std::nullopt,
                       {ui::localizedString("我知道了")})
      ->show();
}

std::string accountPageURL(const std::string& key) {
  std::string text = ui::localizedString(key);
  if (text.starts_with('/')) return ServiceHosts::baseURL(ServiceHosts::kAccount) + text;
  return text;
}

bool isBadNetworkCode(std::int64_t code) { return code == -1009 || code == -1003 || code == -1002; }

std::optional<std::string> messageForLoginError(const platform::Error& error, const std::string& event) {
  auto count = [&event](const char* category) { KoStatSDK::recordCountEvent(std::string(category), event); };
  if (isBadNetworkCode(error.code())) {
    count("fail_bad_network");
    return ui::localizedString("Bad Network");
  }
  switch (error.code()) {
    case 2:
    case 66108:
    case 81003:
    case 87001:
      return std::nullopt;
    case 403:
      count("fail_account_irregularity");
      return ui::localizedString("Account Irregularity");
    case 20003:
      KoStatSDK::recordCountEvent(std::string("fail_invalid_username"), "用户名不存在");
      return ui::localizedString("Verify Failed Invalid Name");
    case 70014:
      count("fail_invalid_verify_code");
      return ui::localizedString("Invalid Verify Code");
    case 70016:
      count("fail_verify");
      return ui::localizedString("Verify Failed");
    default:
      return LMCustomUtils::messageForURLError(error, event).value_or(ui::localizedString("Bad Login"));
  }
}

bool isUsableCaptchaPath(const std::string& path) {
  if (path.size() < 2 || path[0] != '/' || path[1] == '/') return false;
  for (unsigned char c : path) {
    if (c <= 0x20 || c == 0x7f || c == '\\' || c == '#') return false;
  }
  return true;
}

void pushAccountWebPage(ui::ViewController& from, const std::string& key, const std::string& recordTitle,
                        bool scalesPageToFit) {
  auto page = std::dynamic_pointer_cast<LMWebViewController>(
      LMStoryboard::instantiateViewControllerWithIdentifier(LMWebViewController::kSceneIdentifier));
  auto navigation = from.navigationController();
  if (!page || !navigation) return;
  page->url = accountPageURL(key);
  page->pageRecordTitle = recordTitle;
  page->scalesPageToFit = scalesPageToFit;
  navigation->pushViewController(page, false);
}

void pushTwoStepScreen(ui::ViewController& from, std::weak_ptr<LMLoginViewControllerDelegate> delegate) {
  auto screen = LMStoryboard::instantiateViewControllerWithIdentifier(LMOTPViewController::kSceneIdentifier);
  auto navigation = from.navigationController();
  if (!screen || !navigation) return;
  if (auto holder = std::dynamic_pointer_cast<LMLoginDelegateHolder>(screen)) holder->delegate = std::move(delegate);
  navigation->pushViewController(screen, false);
}

void closeSignInScreens(ui::ViewController& owner) {
  if (owner.presentedViewController()) {
    owner.dismissViewController(true);
    return;
  }
  // The navigation controller stacks `owner` or the container it is a child of.
  auto navigation = owner.navigationController();
  std::shared_ptr<ui::ViewController> level = owner.shared_from_this();
  auto stacked = [&](const std::shared_ptr<ui::ViewController>& controller) {
    const auto& stack = navigation->viewControllers();
    return std::find(stack.begin(), stack.end(), controller) != stack.end();
  };
  while (navigation && level && !stacked(level)) level = level->parentViewController();
  if (navigation && level && navigation->topViewController() != level) {
    navigation->popToViewController(level, true);
    return;
  }
  owner.dismissViewController(true);
}

std::shared_ptr<ui::TableView> LMStaticTable::makeTable(const std::shared_ptr<LMStaticTable>& table, ui::Rect frame) {
  auto view = std::make_shared<ui::TableView>(frame);
  view->setDataSource(table);
  view->setDelegate(table);
  view->setBackgroundColor(ui::colorWithHexString("efeff4"));
  return view;
}

std::shared_ptr<ui::View> LMStaticTable::viewForHeaderInSection(ui::TableView&, int) {
  auto header = std::make_shared<ui::View>();
  header->setBackgroundColor(ui::Color::clear());
  return header;
}

namespace {
// Views tagged kLoginStretchTag reach to 15 points before the right edge.
class LMLoginCell : public ui::TableViewCell {
 public:
  void layoutSubviews() override {
    TableViewCell::layoutSubviews();
    textLabel()->setHidden(true);  // the rows show their own views only
    const double width = bounds().width;
    for (const auto& view : contentView()->subviews()) {
      if (view->tag() != kLoginStretchTag) continue;
      auto frame = view->frame();
      frame.width = width - frame.x - 15;
      view->setFrame(frame);
    }
  }
};
}  // namespace

std::shared_ptr<ui::TableViewCell> loginCellWith(std::initializer_list<std::shared_ptr<ui::View>> views) {
  auto cell = std::make_shared<LMLoginCell>();
  cell->setClipsToBounds(true);
  for (const auto& view : views) cell->contentView()->addSubview(view);
  return cell;
}

}  // namespace lumora
