// The automatic backup screen: the automatic gallery backup switch, the
// gallery's Wi-Fi-only switch while automatic gallery backup is on, and the
// automatic contacts sync switch, each section with its explanation below.
// Turning an automatic switch on needs location access at all times: the
// screen asks for it, or shows the location alert once it was denied. The
// gallery switch waits for the access; the contacts switch turns on at once.
// Every switch shows the stored setting again after each change, alert
// answer and location notification.
//
// Ownership: a controller made with std::make_shared; it owns its table and
// is the table's data source and delegate. It observes the location
// notifications until it goes.
// Threading: main thread. Failures: settings that cannot be opened stay
// closed; the switch then shows the stored (off) value.
#pragma once

#include <memory>

#include "platform/dispatch/NotificationCenter.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Control.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"

namespace lumora {

class LMAppSettingConfig;

class LMSettingViewController : public platform::ui::ViewController,
                                public platform::ui::TableViewDataSource,
                                public platform::ui::TableViewDelegate {
 public:
  ~LMSettingViewController() override;

  void viewDidLoad() override;
  unsigned supportedInterfaceOrientations() const override { return 0; }

  // Built on first access: the view's size less the navigation bar.
  std::shared_ptr<platform::ui::TableView> tableView();

  void switchChange(platform::ui::Switch& sender);
  void showAlertMessage();
  void alertView(platform::ui::AlertView& alert, int buttonIndex);
  void refreshSwitchCell();
  void gotoSettingsVC();
  void locationChange();

  LMAppSettingConfig& appConfig() const;

  int numberOfSectionsInTableView(platform::ui::TableView& tableView) override;
  int numberOfRowsInSection(platform::ui::TableView& tableView, int section) override;
  std::shared_ptr<platform::ui::TableViewCell> cellForRowAtIndexPath(platform::ui::TableView& tableView,
                                                                     platform::ui::IndexPath indexPath) override;
  std::optional<double> heightForHeaderInSection(platform::ui::TableView& tableView, int section) override;
  std::optional<double> heightForFooterInSection(platform::ui::TableView& tableView, int section) override;
  std::shared_ptr<platform::ui::View> viewForFooterInSection(platform::ui::TableView& tableView, int section) override;
  void didSelectRowAtIndexPath(platform::ui::TableView& tableView, platform::ui::IndexPath indexPath) override;

 private:
  std::shared_ptr<platform::ui::TableView> tableView_;
  platform::ObserverToken alwaysObserver_ = 0;
  platform::ObserverToken denyObserver_ = 0;
};

}  // namespace lumora
