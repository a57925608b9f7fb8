#include "screens/shell/LMLocationAccess.h"

#include <utility>

#include "platform/app/Application.h"
#include "platform/location/LocationManager.h"
#include "platform/ui/Resources.h"

namespace lumora {
namespace {

std::function<void()>& locationRequester() {
  static std::function<void()> requester;
  return requester;
}

}  // namespace

void setLocationAccessRequester(std::function<void()> requester) { locationRequester() = std::move(requester); }

void requestLocationAlwaysAccess() {
  if (auto& requester = locationRequester()) {
    requester();
    return;
  }
  platform::location::LocationManager::create()->requestAlwaysAuthorization();
}

void openAppSystemSettings() {
  auto& app = platform::Application::shared();
  if (app.canOpenURL(platform::Application::kOpenSettingsURLString)) {
    app.openURL(platform::Application::kOpenSettingsURLString);
  }
}

std::shared_ptr<platform::ui::AlertView> showLocationSettingsAlert(const std::string& messageKey,
                                                                   platform::ui::AlertView::Clicked clicked) {
  using platform::ui::localizedString;
  auto alert = platform::ui::AlertView::alert(localizedString("后台自动备份"), localizedString(messageKey),
                                              localizedString("取消"), {localizedString("去设置")}, std::move(clicked));
  alert->show();
  return alert;
}

}  // namespace lumora
