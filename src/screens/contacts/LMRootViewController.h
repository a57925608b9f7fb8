// The contacts page: the cloud's logo, the number of people in the address
// book's synced source and in the cloud, the kind of that source, the time
// of the last sync and the sync button. It drives every contact sync of the
// app (the button, the one after a login, the background one after a
// wake-up): address-book access, sign-in, the one-time merge-source prompt,
// the cloud's changes and the estimate on the adapter's task queue, the
// user's confirmation of predicted deletions, then the full run; and, as the
// contact adapter's delegate, the status line and percentage of the
// progress screen, the result message, the one-time rating prompt and the
// reactions to failures. A run that cannot start for want of a synced source
// ends as a failure (the progress screen does not spin on, the root
// container hears the end).
//
// Ownership: a controller made with std::make_shared (scene
// "rootViewController"); it owns its progress screen and its address-book
// handle for the change callback and its delegates of the sign-in and merge
// screens; the adapter, the settings and the
// passports manager are the process-wide ones.
// Threading: main thread; store and cloud work runs as tasks on the
// adapter's task queue and hops back to the main queue.
// Failures: reported to the user in alerts; never thrown.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/ui/Label.h"
#include "screens/account/LMLoginViewControllerDelegate.h"
#include "screens/common/LMBackgroundPages.h"
#include "screens/common/LMCustomButton.h"
#include "screens/common/LMGalleryAlbumCollectionViewControllerDelegate.h"
#include "screens/common/LMLastContactSync.h"
#include "screens/common/LMSyncLoadViewControllerDelegate.h"
#include "screens/contacts/LMMergeSourceTableViewController.h"
#include "screens/contacts/LMMergeTableViewController.h"
#include "screens/contacts/LMSyncLoadViewController.h"
#include "screens/shell/LMSynBaseViewController.h"

namespace lumora {

class LMRootViewController : public LMSynBaseViewController,
                             public LMContactSyncAdapterDelegate,
                             public LMSyncLoadViewControllerDelegate,
                             public LMBackgroundContactsPage,
                             public LMGalleryAlbumCollectionViewControllerDelegate {
 public:
  // The cloud album grid's back button.
  void didCancelGalleryBrowse() override { dismissGalleryBrowse(*this); }
  using Estimate = platform::Json;
  static constexpr const char* kSceneIdentifier = "rootViewController";
  static constexpr const char* kAddressBookChangedNotification = "kAddressBookChanged";
  static constexpr const char* kLastSyncTimeKey = LMLastContactSync::kShownKey;
  static constexpr const char* kNotFirstContactSyncKey = "kNotFirstContactSync";
  static constexpr const char* kNotFirstRatingKey = "kNotFirstRating";
  static constexpr const char* kFirstLaunchKey = "firstLauch";
  // The store page "去评分" opens unless the bundle names one
  // ("LMAppStoreURL").
  static constexpr const char* kDefaultAppStoreURL = "https://apps.apple.com/app/lumora/id1000000000";

  // Outlets start detached, so a page whose view is never loaded (the app
  // delegate's off-screen one) can run a sync; loadView puts the real ones.
  LMRootViewController();
  ~LMRootViewController() override;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;

  // Outlets.
  const std::shared_ptr<platform::ui::Label>& localNumLabel() const { return localNumLabel_; }
  const std::shared_ptr<platform::ui::Label>& serverNumLabel() const { return serverNumLabel_; }
  const std::shared_ptr<platform::ui::Label>& syncTimeLabel() const { return syncTimeLabel_; }
  const std::shared_ptr<platform::ui::Label>& sourceLabel() const { return sourceLabel_; }
  const std::shared_ptr<platform::ui::ImageView>& imageView() const { return imageView_; }
  const std::shared_ptr<LMCustomButton>& syncButton() const { return syncButton_; }
  // The progress screen once made.
  const std::shared_ptr<LMSyncLoadViewController>& syncLoadViewController() const { return syncLoadViewController_; }

  // ---- The road to a sync ----
  void interfaceInitialize();
  // The button's action (fromButton: recorded as a button press).
  void synchronize(bool fromButton);
  void syncContactsWithIsBackground(bool background);
  void syncContactsOnBackground() override;
  void requestAddressBookAuthorization(std::function<void()> granted);
  // On the adapter's task queue: loads the cloud's changes and, when asked,
  // the estimate; success and fail run on the main queue.
  void requestLumoraChangedContacts(platform::addressbook::AddressBook* addressBook,
                                    const platform::addressbook::Record& source, bool isEstimate,
                                    std::function<void(std::optional<Estimate>)> success,
                                    std::function<void(const platform::Error&)> fail);
  // The estimate's answer on the main queue: the progress at 0.1, then the
  // full run at once (no net loss, or in the background) or after the
  // user confirms the predicted deletions.
  void confirmSync(const Estimate& estimate, bool background);
  static std::shared_ptr<LMContactSyncAdapter> adapter() { return LMContactSyncAdapter::sharedAdapter(); }

  // ---- Labels and refreshes ----
  void updateLocalChangedNum(platform::addressbook::AddressBook* addressBook,
                             const platform::addressbook::Record& source);
  // The kind of `source`; "No Accounts" without access; that the book
  // cannot be read when `unreadable`.
  void updateSourceLabel(const platform::addressbook::Record& source, bool unreadable = false);
  void updateLumoraNum();
  void updateLumoraContactsNum();
  void updateLastSyncTimeLabel();
  void hideSyncLoadViewController(bool hide);
  void didLocalContactsChangedNotice(bool fromNotification);
  void didApplicationBecomeActiveNotice();
  void clearLumoraAccountData();
  void removeAllContacts();

  // ---- Sub-screens ----
  // The page as delegate of the two merge screens, which it presents (or
  // the root container does) and closes when they ask.
  const std::shared_ptr<LMMergeTableViewControllerDelegate>& mergeDelegate();
  const std::shared_ptr<LMMergeSourceTableViewControllerDelegate>& mergeSourceDelegate();
  void didCancelMerge();
  void didSuccessMergeSource(bool success);
  void didCancelMergeSource();
  // The page as delegate of the sign-in screens: the login screen it
  // presents and the two-step screen it pushes.
  const std::shared_ptr<LMLoginViewControllerDelegate>& loginDelegate();
  void didSuccessLogin();
  void didCancelLogin();
  void alertView(platform::ui::AlertView& alert, int buttonIndex) override;
  void removeNotifyView() override;

  // ---- Progress and results ----
  std::vector<std::string> getSyncResult() const;
  void presentSyncResultMessage();
  void updateBackupContactsResultWithIsCancel(bool cancelled);

  std::int64_t addLocalContactNum = 0, modifyLocalContactNum = 0, deleteLocalContactNum = 0;
  std::int64_t addLumoraContactNum = 0, modifyLumoraContactNum = 0, deleteLumoraContactNum = 0;
  double lastProcess() const { return lastProcess_; }
  bool isRefreshLumoraNum() const { return isRefreshLumoraNum_; }
  // A count of the local book is being read on a worker (main thread).
  bool isRefreshingLocalCount() const { return localRefreshRunning_; }

 private:
  void startSync(bool background);
  void prepareSync(bool background);
  void runFullSync(bool inBackground);
  void endSyncAsFailure(std::function<void()> fail);
  void requestStep();
  void installAddressBookObserver();
  void refreshLocalCount();
  void presentLogin();
  void showAlert(const std::string& titleKey, const std::string& message, const std::string& cancelKey,
                 std::vector<std::string> otherKeys = {});
  // The address book cannot be read (`why`, logged): says so, and where
  // the log files are.
  void showUnreadableAddressBook(const std::string& why);
  void installAdapterCallbacks();
  std::weak_ptr<LMRootViewController> weakSelf();

  std::shared_ptr<platform::ui::Label> localNumLabel_, serverNumLabel_, syncTimeLabel_, sourceLabel_;
  std::shared_ptr<platform::ui::ImageView> imageView_;
  std::shared_ptr<LMCustomButton> syncButton_;
  std::shared_ptr<LMSyncLoadViewController> syncLoadViewController_;
  std::shared_ptr<platform::addressbook::AddressBook> noticeAddressBook_;
  std::shared_ptr<LMLoginViewControllerDelegate> loginDelegate_ = std::make_shared<LMLoginViewControllerDelegate>();
  std::shared_ptr<LMMergeTableViewControllerDelegate> mergeDelegate_ =
      std::make_shared<LMMergeTableViewControllerDelegate>();
  std::shared_ptr<LMMergeSourceTableViewControllerDelegate> mergeSourceDelegate_ =
      std::make_shared<LMMergeSourceTableViewControllerDelegate>();
  int addressBookCallback_ = 0;
  std::vector<platform::ObserverToken> observers_;
  double lastProcess_ = 0;
  std::uint64_t allRequestCount_ = 0;
  std::uint64_t currentRequestCount_ = 0;
  bool isRefreshLumoraNum_ = false;
  // The local count's refresh (main thread): one running, one more asked
  // for, one waiting behind the adapter's sync.
  bool localRefreshRunning_ = false;
  bool localRefreshAgain_ = false;
  bool localRefreshAfterSync_ = false;
  // The time of the last change heard during a sync, stored after it.
  std::optional<double> pendingChangeTime_;
  bool isFirstLauch_ = true;
  bool isFirstSync_ = true;
  platform::Clock::TimePoint syncBeginDate_{};
};

}  // namespace lumora
