#include "app/WindowPanel.h"

#include <memory>
#include <string>

#include "app/NetworkSwitch.h"
#include "platform/app/Application.h"
#include "platform/app/BackgroundTask.h"
#include "platform/ui/Resources.h"
#include "platform/ui/Window.h"

namespace lumora {

namespace ui = platform::ui;

std::vector<WindowPanelRow> windowPanelRows() {
  auto network = std::make_shared<NetworkSwitch>();
  std::vector<WindowPanelRow> entries;
  entries.push_back({[network] { return network->label(); }, [network] { network->next(); }});
  // How the device is held, whether or not the interface followed.
  entries.push_back({[] {
                       const auto& screen = ui::Screen::main();
                       if (!ui::isLandscape(screen.deviceOrientation())) return ui::localizedString("设备：竖放");
                       return ui::localizedString(ui::isLandscape(screen.interfaceOrientation())
                                                      ? "设备：横放"
                                                      : "设备：横放（此页保持竖向）");
                     },
                     [] {
                       auto& screen = ui::Screen::main();
                       screen.rotateTo(ui::isLandscape(screen.deviceOrientation())
                                           ? ui::InterfaceOrientation::Portrait
                                           : ui::InterfaceOrientation::LandscapeLeft);
                     }});
  entries.push_back({[] {
                       bool background = platform::Application::shared().applicationState() ==
                                         platform::ApplicationState::Background;
                       return ui::localizedString(background ? "应用：后台" : "应用：前台");
                     },
                     [] {
                       auto& app = platform::Application::shared();
                       if (app.applicationState() == platform::ApplicationState::Background) {
                         app.becomeActive();
                       } else {
                         app.enterBackground();
                       }
                     }});
  entries.push_back({[] {
                       return ui::localizedString("结束后台任务") + " (" +
                              std::to_string(platform::BackgroundTask::runningCount()) + ")";
                     },
                     [] { platform::BackgroundTask::expireAll(); }});
  return entries;
}

}  // namespace lumora
