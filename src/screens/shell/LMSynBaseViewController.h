// The common base of the two sync pages (contacts and gallery): the yellow
// location notice bar at the top of the page, asking for location access at
// all times while the page's automatic switch is off; its reaction to the
// app-wide location notifications; the location alert; the push of the
// settings screen; and the delegate through which a page tells the root
// container that a sync begins and ends (the pages send it, the base never).
//
// Ownership: a controller made with std::make_shared; it owns its bar. The
// delegate is held weakly. The location observers stay for the life of the
// page and are removed when it goes.
// Threading: main thread; the location notifications are posted there.
// Failures: none of its own; settings that cannot be opened stay closed.
#pragma once

#include <memory>

#include "platform/dispatch/NotificationCenter.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/ViewController.h"

namespace lumora {

class LMAppSettingConfig;
class LMSynBaseViewController;

class LMSynBaseViewControllerDelegate {
 public:
  virtual ~LMSynBaseViewControllerDelegate() = default;
  virtual void didControllerBeginSync(LMSynBaseViewController& controller) = 0;
  virtual void didControllerEndSync(LMSynBaseViewController& controller) = 0;
};

class LMSynBaseViewController : public platform::ui::ViewController {
 public:
  // Posted (no user info) when location access at all times is granted, or
  // lost; the spelling is the one every sender uses.
  static constexpr const char* kLocationChangeToAlwaysNotification = "locationChangeToAwlays";
  static constexpr const char* kLocationChangeToDenyNotification = "locationChangeToDeny";
  static constexpr double kLocationViewHeight = 45;

  ~LMSynBaseViewController() override;

  void viewDidLoad() override;

  std::shared_ptr<LMSynBaseViewControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<LMSynBaseViewControllerDelegate> delegate) { delegate_ = std::move(delegate); }
  bool isGalleryVC() const { return isGalleryVC_; }
  void setIsGalleryVC(bool gallery) { isGalleryVC_ = gallery; }

  // The notice bar, built on first access and reused.
  std::shared_ptr<platform::ui::View> locationView();

  void registObservers();
  void notifyButtonClick();
  void exitButtonClick();
  void pushSettingsVC();
  void gotoSystemSettings();
  void showAlertOfGoSettings();
  virtual void addNotifyView();
  virtual void removeNotifyView();
  // The page's answer to its alerts (the location alert among them).
  virtual void alertView(platform::ui::AlertView& alert, int buttonIndex);

  LMAppSettingConfig& appConfig() const;

 private:
  std::weak_ptr<LMSynBaseViewControllerDelegate> delegate_;
  std::shared_ptr<platform::ui::View> locationView_;
  platform::ObserverToken alwaysObserver_ = 0;
  platform::ObserverToken denyObserver_ = 0;
  bool isGalleryVC_ = false;
};

}  // namespace lumora
