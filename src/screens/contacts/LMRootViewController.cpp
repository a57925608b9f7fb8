#include "screens/contacts/LMRootViewController.h"

#include <chrono>
#include <cmath>

#include "applog/LoggerRegistry.h"
#include "applog/QBLogFileManagerDefault.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMDeviceInfo.h"
#include "platform/app/Application.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/account/LMLoginScreens.h"
#include "screens/shell/LMLocationAccess.h"
#include "screens/shell/LMSyncAdapter+LMHook.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;
namespace ab = platform::addressbook;

namespace {

constexpr const char* kRootSid = LMDeviceInfo::kCloudPassportSid;

double rootSecondsSince1970() {
  return std::chrono::duration<double>(platform::Clock::current()->now().time_since_epoch()).count();
}

std::string rootCountText(std::uint64_t count) {
  return ui::stringWithFormat("%lu", {static_cast<std::int64_t>(count)});
}

// Whether the address book could not be opened because its store cannot be
// read (damaged or cut short): no permission mends that.
bool isUnreadableAddressBook(const platform::Result<std::shared_ptr<ab::AddressBook>>& opened) {
  return !opened.ok() && opened.error().domain() == ab::kErrorDomain &&
         opened.error().code() == ab::kOperationNotPermittedByStoreError;
}

// Why the address book cannot be read, when it cannot: its store does not
// open, or it opens but shows no synced source (or, with `countPeople`, no
// people: that reads the whole book, so not on the main thread) because its
// file is damaged (a handle shows an empty book when a read fails).
std::optional<std::string> whyAddressBookCannotBeRead(const platform::Result<std::shared_ptr<ab::AddressBook>>& opened,
                                                      const ab::Record& source, bool countPeople = true) {
  if (isUnreadableAddressBook(opened)) return opened.error().description();
  if (!opened.ok()) return std::nullopt;
  const bool empty =
      !source || (countPeople && LMManagedRecordContext::getABPersonCount(opened->get(), source) == 0);
  if (!empty || !ab::AddressBook::isStoreDamaged()) return std::nullopt;
  return "the file " + ab::AddressBook::storePath().string() + " is damaged";
}

// The book a page reads, its synced source, and whether it cannot be read.
struct ReadBook {
  std::shared_ptr<ab::AddressBook> book;
  ab::Record source;
  bool unreadable = false;
};

ReadBook readAddressBook() {
  auto opened = ab::AddressBook::create();
  ReadBook read;
  if (opened.ok()) {
    read.book = *opened;
    read.source = LMManagedRecordContext::defaultSourceInAddressBook(read.book.get());
  }
  read.unreadable = whyAddressBookCannotBeRead(opened, read.source).has_value();
  return read;
}

bool rootSignedInToCloud() {
  auto manager = QBPassportsManager::sharedManager();
  auto userId = manager->userId();
  return userId && manager->passportForSid(kRootSid, *userId) != nullptr;
}

}  // namespace

LMRootViewController::LMRootViewController()
    : localNumLabel_(std::make_shared<ui::Label>(ui::Rect{})),
      serverNumLabel_(std::make_shared<ui::Label>(ui::Rect{})),
      syncTimeLabel_(std::make_shared<ui::Label>(ui::Rect{})),
      sourceLabel_(std::make_shared<ui::Label>(ui::Rect{})),
      imageView_(std::make_shared<ui::ImageView>(ui::Rect{})),
      syncButton_(LMCustomButton::create()) {}

LMRootViewController::~LMRootViewController() {
  if (noticeAddressBook_ && addressBookCallback_ != 0) {
    noticeAddressBook_->unregisterExternalChangeCallback(addressBookCallback_);
  }
  for (auto token : observers_) platform::NotificationCenter::defaultCenter().removeObserver(token);
}

std::weak_ptr<LMRootViewController> LMRootViewController::weakSelf() {
  return std::static_pointer_cast<LMRootViewController>(shared_from_this());
}

// The scene: the logo at the top, the two counts, the source and the time of
// the last sync in the middle, the sync button below them.
void LMRootViewController::loadView() {
  const ui::Rect screen = ui::Screen::main().bounds();
  auto root = std::make_shared<ui::View>(ui::Rect{0, 0, screen.width, screen.height});
  auto label = [&](double y, double size) {
    auto made = std::make_shared<ui::Label>(ui::Rect{20, y, screen.width - 40, size * 1.4});
    made->setFont(ui::Font::systemFont(size));
    made->setTextColor(ui::Color::white());
    made->setTextAlignment(ui::TextAlignment::Center);
    root->addSubview(made);
    return made;
  };
  imageView_ = std::make_shared<ui::ImageView>(ui::Rect{});
  root->addSubview(imageView_);
  const double middle = screen.height * 0.5;
  localNumLabel_ = label(middle - 20, 30);
  localNumLabel_->setFrame({0, middle - 20, screen.width / 2, 42});
  serverNumLabel_ = label(middle - 20, 30);
  serverNumLabel_->setFrame({screen.width / 2, middle - 20, screen.width / 2, 42});
  sourceLabel_ = label(middle + 40, 14);
  syncTimeLabel_ = label(middle + 64, 14);
  syncButton_ = std::make_shared<LMCustomButton>(ui::Rect{(screen.width - 165) / 2, screen.height - 130, 165, 50});
  root->addSubview(syncButton_);
  std::weak_ptr<LMRootViewController> weak = std::static_pointer_cast<LMRootViewController>(shared_from_this());
  syncButton_->setAction([weak] {
    if (auto page = weak.lock()) page->synchronize(true);
  });
  setView(root);
  setOutlet("localNumLabel", localNumLabel_);
  setOutlet("serverNumLabel", serverNumLabel_);
  setOutlet("syncTimeLabel", syncTimeLabel_);
  setOutlet("sourceLabel", sourceLabel_);
  setOutlet("imageView", imageView_);
  setOutlet("syncButton", syncButton_);
}

void LMRootViewController::viewDidLoad() {
  LMSynBaseViewController::viewDidLoad();
  // The merge and import screens close by dismissing what the container
  // presented (their back buttons did nothing before).
  auto weak = weakSelf();
  const auto close = [weak] {
    if (auto page = weak.lock()) dismissGalleryBrowse(*page);
  };
  mergeDelegate_->didCancelMerge = close;
  mergeSourceDelegate_->didCancelMergeSource = close;
  mergeSourceDelegate_->didSuccessMergeSource = [close](bool) { close(); };
  isFirstLauch_ = true;
  isFirstSync_ = true;
  isRefreshLumoraNum_ = false;
  allRequestCount_ = currentRequestCount_ = 0;
  lastProcess_ = 0;
  interfaceInitialize();
}

void LMRootViewController::interfaceInitialize() {
  view()->setBackgroundColor(ui::colorWithHexString("278ff0"));
  const double height = ui::Screen::main().bounds().height;
  std::optional<ui::Image> logo;
  double top = -64;
  if (height == 480 || height == 568) {
    logo = ui::Image::imageNamed("Lumora图标.png");
    top = height == 480 ? 50 : 83;
  } else if (height == 667) {
    logo = ui::Image::imageNamed("Lumora图标6.png");
    top = 109;
  } else if (height == 736) {
    logo = ui::Image::imageNamed("Lumora图标6P.png");
    top = 136;
  }
  imageView_->setImage(logo);
  const ui::Size size = logo ? logo->size() : ui::Size{};
  imageView_->setFrame({(view()->bounds().width - size.width) / 2, top, size.width, size.height});
  LMSyncLoadViewController::styleSyncButton(*syncButton_, "立即同步");

  updateLumoraNum();
  installAdapterCallbacks();
  adapter()->setDelegate(std::static_pointer_cast<LMRootViewController>(shared_from_this()));
  sourceLabel_->setText(" ");
  updateLastSyncTimeLabel();
  updateLumoraNum();
  if (LMManagedRecordContext::isAddressBookAuthorized()) {
    installAddressBookObserver();
    didLocalContactsChangedNotice(false);
  } else {
    // Nothing of the book can be counted: the local count reads 0 beside
    // the cloud's rather than staying blank, and the source line tells a
    // book that cannot be read from one the user has not opened to the app.
    updateSourceLabel({}, isUnreadableAddressBook(ab::AddressBook::create()));
    updateLocalChangedNum(nullptr, {});
  }
}

void LMRootViewController::installAddressBookObserver() {
  if (!noticeAddressBook_) {
    auto book = ab::AddressBook::create();
    if (!book.ok()) return;
    noticeAddressBook_ = std::move(book).value();
  }
  if (addressBookCallback_ != 0) return;
  // The book calls back on the thread that saved; the page hears it on the
  // main thread, as the platform's callback would.
  addressBookCallback_ = noticeAddressBook_->registerExternalChangeCallback([](ab::AddressBook&) {
    platform::MainQueue::main().async(
        [] { platform::NotificationCenter::defaultCenter().post(kAddressBookChangedNotification); });
  });
  auto weak = weakSelf();
  observers_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
      kAddressBookChangedNotification, [weak](const std::string&, const platform::Json&) {
        if (auto page = weak.lock()) page->didLocalContactsChangedNotice(true);
      }));
}

void LMRootViewController::viewWillAppear(bool animated) {
  LMSynBaseViewController::viewWillAppear(animated);
  auto& defaults = platform::UserDefaults::standard();
  if (!defaults.hasKey(kFirstLaunchKey)) {
    auto weak = weakSelf();
    auto alert = ui::AlertView::alert(ui::localizedString("后台自动备份"), ui::localizedString("定位授权用语"),
                                      ui::localizedString("取消"), {ui::localizedString("开启")},
                                      [weak](ui::AlertView& shown, int index) {
                                        if (auto page = weak.lock()) page->alertView(shown, index);
                                      });
    alert->show();
    defaults.setString(kFirstLaunchKey, "notfirst");
  }
  addNotifyView();
}

void LMRootViewController::viewDidAppear(bool animated) {
  LMSynBaseViewController::viewDidAppear(animated);
  KoStatSDK::recordPage("联系人同步界面");
  updateLastSyncTimeLabel();
  if (!isFirstLauch_) return;
  auto weak = weakSelf();
  observers_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
      platform::kApplicationDidBecomeActiveNotification, [weak](const std::string&, const platform::Json&) {
        if (auto page = weak.lock()) page->didApplicationBecomeActiveNotice();
      }));
  isRefreshLumoraNum_ = true;
  adapter()->performTaskBlock([weak] {
    auto page = weak.lock();
    if (!page) return;
    const ReadBook read = readAddressBook();
    page->updateSourceLabel(read.source, read.unreadable);
    if (read.book && !read.unreadable && LMManagedRecordContext::isAddressBookAuthorized()) {
      page->requestLumoraChangedContacts(read.book.get(), read.source, false, nullptr, nullptr);
    }
    // Posted, not waited for: a queue that waits for the main thread would
    // hold the app's exit while the main queue no longer runs.
    platform::MainQueue::main().async([weak] {
      if (auto current = weak.lock()) current->isRefreshLumoraNum_ = false;
    });
  });
  isFirstLauch_ = false;
}

void LMRootViewController::updateLastSyncTimeLabel() {
  const double last = platform::UserDefaults::standard().doubleForKey(kLastSyncTimeKey);
  std::string text;
  if (last == 0) {
    text = ui::localizedString("Have Not Sync Yet");
  } else {
    const auto d = static_cast<std::int64_t>(rootSecondsSince1970() - last);
    if (d <= 599) {
      text = ui::localizedString("Sync Just Now");
    } else if (d < 3600) {
      text = ui::localizedCountString("Sync Minute Format", d / 60);
    } else if (d < 86400) {
      text = ui::localizedCountString("Sync Hour Format", d / 3600);
    } else if (d <= 863999) {
      text = ui::localizedCountString("Sync Day Format", d / 86400);
    } else {
      text = ui::localizedString("Sync Weak");
    }
  }
  syncTimeLabel_->setText(text);
}

void LMRootViewController::updateLocalChangedNum(ab::AddressBook* addressBook, const ab::Record& source) {
  const std::size_t count = addressBook && source ? LMManagedRecordContext::getABPersonCount(addressBook, source) : 0;
  auto weak = weakSelf();
  platform::MainQueue::runOrPost([weak, count] {
    if (auto page = weak.lock()) page->localNumLabel_->setText(rootCountText(count));
  });
}

void LMRootViewController::updateSourceLabel(const ab::Record& source, bool unreadable) {
  std::optional<std::string> text;
  if (unreadable) {
    text = "Unreadable AddressBook";
  } else if (LMManagedRecordContext::isAddressBookAuthorized()) {
    switch (LMManagedRecordContext::sourceType(source)) {
      case kLMSourceTypeOther:
        text = "Invalid Account";
        break;
      case kLMSourceTypeCard:
        text = "Sync iCloud Account";
        break;
      case kLMSourceTypeLocal:
        text = "Sync Local Account";
        break;
      default:
        break;
    }
  } else {
    text = "No Accounts";
  }
  if (!text) return;
  auto weak = weakSelf();
  platform::MainQueue::runOrPost([weak, key = *text] {
    if (auto page = weak.lock()) page->sourceLabel_->setText(ui::localizedString(key));
  });
}

void LMRootViewController::updateLumoraNum() {
  auto weak = weakSelf();
  adapter()->performTaskBlock([weak] {
    const auto count = static_cast<std::uint64_t>(std::max<std::int64_t>(0, adapter()->context()->serverContactNum()));
    platform::MainQueue::main().async([weak, count] {
      if (auto page = weak.lock()) page->serverNumLabel_->setText(rootCountText(count));
    });
  });
}

void LMRootViewController::updateLumoraContactsNum() {
  isRefreshLumoraNum_ = true;
  auto weak = weakSelf();
  adapter()->performTaskBlock([weak] {
    auto page = weak.lock();
    if (!page) return;
    if (auto book = LMContactSyncAdapter::openAddressBook()) {
      auto source = LMManagedRecordContext::defaultSourceInAddressBook(book.get());
      if (QBPassportsManager::sharedManager()->userId()) {
        page->requestLumoraChangedContacts(book.get(), source, false, nullptr, nullptr);
      }
    }
    platform::MainQueue::main().async([weak] {
      if (auto current = weak.lock()) current->isRefreshLumoraNum_ = false;
    });
  });
}

void LMRootViewController::hideSyncLoadViewController(bool hide) {
  if (hide) {
    if (syncLoadViewController_) syncLoadViewController_->view()->setHidden(true);
    return;
  }
  if (!syncLoadViewController_) {
    syncLoadViewController_ = std::dynamic_pointer_cast<LMSyncLoadViewController>(
        LMStoryboard::instantiateViewControllerWithIdentifier(LMSyncLoadViewController::kSceneIdentifier));
    if (!syncLoadViewController_) syncLoadViewController_ = std::make_shared<LMSyncLoadViewController>();
    addChildViewController(syncLoadViewController_);
    syncLoadViewController_->setDelegate(std::static_pointer_cast<LMRootViewController>(shared_from_this()));
    syncLoadViewController_->view()->setFrame(view()->bounds());
    view()->addSubview(syncLoadViewController_->view());
  }
  syncLoadViewController_->view()->setHidden(false);
}

void LMRootViewController::didLocalContactsChangedNotice(bool fromNotification) {
  // The refresh's state is the main thread's (the background road may call
  // from the adapter's queue).
  auto weak = weakSelf();
  platform::MainQueue::runOrPost([weak, fromNotification] {
    auto page = weak.lock();
    if (!page) return;
    if (fromNotification) {
      // A sync saves the book every few records: the time of its last
      // change is stored once the run is over (before the next refresh),
      // not with every save.
      const double now = rootSecondsSince1970();
      if (adapter()->isSyncing()) {
        page->pendingChangeTime_ = now;
      } else {
        page->pendingChangeTime_.reset();
        page->appConfig().setContactsChangeTime(now);
      }
    }
    page->refreshLocalCount();
  });
}

// Reading the count loads the whole book, and a sync or a merge saves it
// many times over: one refresh runs at a time and the changes that arrive
// meanwhile are read by one more after it. While the adapter syncs (the
// progress screen covers the counts) that one waits on the adapter's queue
// until the run is over. Main thread.
void LMRootViewController::refreshLocalCount() {
  auto weak = weakSelf();
  if (localRefreshRunning_) {
    localRefreshAgain_ = true;
    return;
  }
  if (adapter()->isSyncing()) {
    if (localRefreshAfterSync_) return;
    localRefreshAfterSync_ = true;
    adapter()->performTaskBlock([weak] {
      platform::MainQueue::main().async([weak] {
        auto page = weak.lock();
        if (!page) return;
        page->localRefreshAfterSync_ = false;
        page->refreshLocalCount();
      });
    });
    return;
  }
  if (pendingChangeTime_) {
    appConfig().setContactsChangeTime(*pendingChangeTime_);
    pendingChangeTime_.reset();
  }
  localRefreshRunning_ = true;
  platform::globalQueue().async([weak] {
    if (auto page = weak.lock()) {
      const ReadBook read = readAddressBook();
      page->updateLocalChangedNum(read.book.get(), read.source);
      page->updateSourceLabel(read.source, read.unreadable);
    }
    platform::MainQueue::main().async([weak] {
      auto page = weak.lock();
      if (!page) return;
      page->localRefreshRunning_ = false;
      if (!page->localRefreshAgain_) return;
      page->localRefreshAgain_ = false;
      page->refreshLocalCount();
    });
  });
}

void LMRootViewController::didApplicationBecomeActiveNotice() {
  updateLastSyncTimeLabel();
  if (isRefreshLumoraNum_) return;
  auto weak = weakSelf();
  ui::dispatchAfter(5, [weak] {
    if (auto page = weak.lock()) page->updateLumoraContactsNum();
  });
}

void LMRootViewController::clearLumoraAccountData() {
  hideSyncLoadViewController(true);
  updateLumoraNum();
}

void LMRootViewController::requestAddressBookAuthorization(std::function<void()> granted) {
  auto book = ab::AddressBook::create();
  if (isUnreadableAddressBook(book)) {
    showUnreadableAddressBook(book.error().description());
    return;
  }
  if (!noticeAddressBook_ && book.ok()) noticeAddressBook_ = std::move(book).value();
  auto weak = weakSelf();
  LMManagedRecordContext::requestAuthorizationAddressBook(
      noticeAddressBook_.get(), [weak, granted = std::move(granted)](bool ok, bool asked) {
        auto page = weak.lock();
        if (!page) return;
        if (ok) {
          if (asked) {
            page->installAddressBookObserver();
            page->didLocalContactsChangedNotice(false);
          }
          if (granted) granted();
        } else if (!asked) {
          page->sourceLabel_->setText(ui::localizedString("No Accounts"));
          page->showAlert("No AddressBook Authority", ui::localizedString("No AddressBook Authority Message"),
                          "我知道了");
        }
      });
}

void LMRootViewController::showUnreadableAddressBook(const std::string& why) {
  QB_LOG_ERROR("The address book cannot be read: {}", why);
  showAlert("Unreadable AddressBook",
            ui::stringWithFormat(ui::localizedString("Unreadable AddressBook Message Format"),
                                 {QBLogFileManagerDefault().logsDirectory().string()}),
            "我知道了");
}

void LMRootViewController::showAlert(const std::string& titleKey, const std::string& message,
                                     const std::string& cancelKey, std::vector<std::string> otherKeys) {
  std::vector<std::string> others;
  for (const auto& key : otherKeys) others.push_back(ui::localizedString(key));
  auto weak = weakSelf();
  ui::AlertView::alert(ui::localizedString(titleKey), message, ui::localizedString(cancelKey), std::move(others),
                       [weak](ui::AlertView& alert, int index) {
                         if (auto page = weak.lock()) page->alertView(alert, index);
                       })
      ->show();
}

void LMRootViewController::synchronize(bool fromButton) {
  if (fromButton) KoStatSDK::recordCountEvent("同步按钮", "button");
  syncContactsWithIsBackground(false);
}

void LMRootViewController::syncContactsWithIsBackground(bool background) {
  if (adapter()->isSyncing()) {
    if (!background) showAlert("后台任务执行中", ui::localizedString("后台同步联系人操作提示"), "我知道了");
    return;
  }
  auto weak = weakSelf();
  requestAddressBookAuthorization([weak, background] {
    if (auto page = weak.lock()) page->startSync(background);
  });
}

void LMRootViewController::syncContactsOnBackground() {
  if (!rootSignedInToCloud()) return;
  auto weak = weakSelf();
  swizzledPerformTaskBlock(
      *adapter(),
      [weak] {
        auto& config = LMAppSettingConfig::sharedConfig();
        if (!config.contactsHasNewChange() && !config.isMoreThan24hoursSinceLastBackupContactsTime()) return;
        if (adapter()->isSyncing()) return;
        platform::MainQueue::main().async([weak] {
          if (auto page = weak.lock()) page->syncContactsWithIsBackground(true);
        });
      },
      true);
}

void LMRootViewController::presentLogin() {
  auto login = LMLoginViewController::instantiateWithDelegate(loginDelegate());
  if (!login) return;
  presentViewController(login, true);
}

const std::shared_ptr<LMLoginViewControllerDelegate>& LMRootViewController::loginDelegate() {
  if (!loginDelegate_->didSuccessLogin) {
    auto weak = weakSelf();
    loginDelegate_->didSuccessLogin = [weak] {
      if (auto page = weak.lock()) page->didSuccessLogin();
    };
    loginDelegate_->didCancelLogin = [weak] {
      if (auto page = weak.lock()) page->didCancelLogin();
    };
  }
  return loginDelegate_;
}

const std::shared_ptr<LMMergeTableViewControllerDelegate>& LMRootViewController::mergeDelegate() {
  if (!mergeDelegate_->didCancelMerge) {
    auto weak = weakSelf();
    mergeDelegate_->didCancelMerge = [weak] {
      if (auto page = weak.lock()) page->didCancelMerge();
    };
  }
  return mergeDelegate_;
}

const std::shared_ptr<LMMergeSourceTableViewControllerDelegate>& LMRootViewController::mergeSourceDelegate() {
  if (!mergeSourceDelegate_->didCancelMergeSource) {
    auto weak = weakSelf();
    mergeSourceDelegate_->didSuccessMergeSource = [weak](bool success) {
      if (auto page = weak.lock()) page->didSuccessMergeSource(success);
    };
    mergeSourceDelegate_->didCancelMergeSource = [weak] {
      if (auto page = weak.lock()) page->didCancelMergeSource();
    };
  }
  return mergeSourceDelegate_;
}

void LMRootViewController::didCancelMerge() { dismissViewController(true); }
void LMRootViewController::didSuccessMergeSource(bool) { dismissViewController(true); }
void LMRootViewController::didCancelMergeSource() { dismissViewController(true); }

void LMRootViewController::startSync(bool background) {
  auto manager = QBPassportsManager::sharedManager();
  auto userId = manager->userId();
  if (!userId) {
    presentLogin();
    return;
  }
  if (!manager->passportForSid(kRootSid, *userId)) return;

  auto opened = ab::AddressBook::create();
  auto book = opened.ok() ? *opened : nullptr;
  const ab::Record source = book ? LMManagedRecordContext::defaultSourceInAddressBook(book.get()) : ab::Record{};
  if (auto why = whyAddressBookCannotBeRead(opened, source, false)) {
    updateSourceLabel(source, true);
    if (!background) showUnreadableAddressBook(*why);
    return;
  }
  const int type = LMManagedRecordContext::sourceType(source);
  std::string sourceName;
  if (type == kLMSourceTypeOther) {
    sourceLabel_->setText(ui::localizedString("Invalid Account"));
    if (!background) showAlert("Invalid Account Error", ui::localizedString("Invalid Account Error Info"), "我知道了");
    return;
  }
  if (type == kLMSourceTypeLocal) {
    sourceName = ui::localizedString("iPhone Account");
    sourceLabel_->setText(ui::localizedString("Sync Local Account"));
  } else if (type == kLMSourceTypeCard) {
    sourceName = ui::localizedString("iCloud Account");
    sourceLabel_->setText(ui::localizedString("Sync iCloud Account"));
  }

  auto& defaults = platform::UserDefaults::standard();
  if (!defaults.boolForKey(kNotFirstContactSyncKey)) {
    defaults.setBool(kNotFirstContactSyncKey, true);
    const auto outside = LMManagedRecordContext::getCountOfContactsNotSync(book.get(), source);
    if (outside >= 1) {
      if (!background) {
        showAlert("同步提醒",
                  ui::localizedCountString("Merge Source Sync Format",
                                           {sourceName, static_cast<std::int64_t>(outside), sourceName}),
                  "不用了", {"去导入"});
      }
      return;
    }
  }

  if (auto root = delegate()) root->didControllerBeginSync(*this);
  if (!background) {
    hideSyncLoadViewController(false);
    syncLoadViewController_->beginSyncAnimation();
  }
  prepareSync(background);
}

void LMRootViewController::prepareSync(bool background) {
  auto weak = weakSelf();
  adapter()->performTaskBlock([weak, background] {
    auto page = weak.lock();
    if (!page) return;
    auto opened = ab::AddressBook::create();
    auto book = opened.ok() ? *opened : nullptr;
    const ab::Record source = book ? LMManagedRecordContext::defaultSourceInAddressBook(book.get()) : ab::Record{};
    // A damaged book shows no people: its sync data is never cleared for that.
    const std::optional<std::string> unreadable = whyAddressBookCannotBeRead(opened, source);
    if (!source || unreadable) {
      // Ended as a failure so that the progress screen stops and the root
      // container hears the end of the sync.
      LMSyncAdapter::performMainThreadBlock([&] {
        page->endSyncAsFailure([weak, background, unreadable] {
          auto current = weak.lock();
          if (!current || background) return;
          if (unreadable) {
            current->showUnreadableAddressBook(*unreadable);
          } else {
            current->showAlert("Invalid Account Error", ui::localizedString("Invalid Account Error Info"),
                               "我知道了");
          }
        });
      });
      return;
    }
    if (LMManagedRecordContext::getABPersonCount(book.get(), source) == 0 &&
        !adapter()->context()->clearSynchronousData()) {
      LMSyncAdapter::performMainThreadBlock([&] {
        page->lastProcess_ = 0;
        auto fail = [weak, background] {
          KoStatSDK::recordCountEvent("删除本地信息失败", "同步");
          auto current = weak.lock();
          if (current && !background) current->showAlert("同步错误", ui::localizedString("Bad Sync"), "我知道了");
        };
        if (page->syncLoadViewController_) page->syncLoadViewController_->endSyncAnimationWithSuccess(nullptr, fail);
      });
      return;
    }
    page->requestLumoraChangedContacts(
        book.get(), source, true,
        [weak, background](std::optional<Estimate> estimate) {
          if (auto current = weak.lock()) current->confirmSync(estimate.value_or(platform::Json::object()), background);
        },
        [weak](const platform::Error& error) {
          auto current = weak.lock();
          if (current && current->didAdapterFailSynchronize) current->didAdapterFailSynchronize(error);
        });
  });
}

void LMRootViewController::endSyncAsFailure(std::function<void()> fail) {
  lastProcess_ = 0;
  auto weak = weakSelf();
  auto block = [weak, fail = std::move(fail)] {
    auto page = weak.lock();
    if (!page) return;
    if (auto root = page->delegate()) root->didControllerEndSync(*page);
    if (fail) fail();
  };
  if (syncLoadViewController_ && !syncLoadViewController_->view()->isHidden()) {
    syncLoadViewController_->endSyncAnimationWithSuccess(nullptr, block);
  } else {
    block();
  }
}

void LMRootViewController::requestLumoraChangedContacts(ab::AddressBook* addressBook, const ab::Record& source,
                                                        bool isEstimate,
                                                        std::function<void(std::optional<Estimate>)> success,
                                                        std::function<void(const platform::Error&)> fail) {
  QB_LOG_INFO("Requeset Lumora Contacts Begin");
  auto weak = weakSelf();
  auto failOnMain = [fail](const platform::Error& error) {
    QB_LOG_ERROR("Requeset Lumora Contacts Error: {}", error.description());
    platform::MainQueue::main().async([fail, error] {
      if (fail) fail(error);
    });
  };
  adapter()->loadLumoraChangedRecords(
      [&] {
        std::optional<Estimate> estimate;
        if (isEstimate) {
          auto made = adapter()->estimateSyncChanges(addressBook, source);
          if (!made.ok()) {
            failOnMain(made.error());
            return;
          }
          estimate = std::move(made).value();
        }
        QB_LOG_INFO("Requeset Lumora Contacts Success");
        const auto count = static_cast<std::uint64_t>(std::max<std::int64_t>(0, adapter()->context()->serverContactNum()));
        platform::MainQueue::main().async([weak, count, success, estimate] {
          if (auto page = weak.lock()) page->serverNumLabel_->setText(rootCountText(count));
          if (success) success(estimate);
        });
      },
      failOnMain);
}

void LMRootViewController::confirmSync(const Estimate& estimate, bool background) {
  if (syncLoadViewController_) syncLoadViewController_->processLabel()->setProgress(0.1f, true);
  auto number = [&](const char* side, const char* key) -> std::int32_t {
    auto found = estimate.find(side);
    if (found == estimate.end() || !found->is_object()) return 0;
    auto value = found->find(key);
    return value != found->end() && value->is_number() ? value->get<std::int32_t>() : 0;
  };
  auto count = estimate.find(kLMEstimateRequestCountKey);
  allRequestCount_ = count != estimate.end() && count->is_number() ? count->get<std::uint64_t>() : 0;
  currentRequestCount_ = 0;
  const std::int32_t localNet = number(kLMEstimateLocalPredictKey, kLMEstimateAddKey) -
                                number(kLMEstimateLocalPredictKey, kLMEstimateDeleteKey);
  const std::int32_t cloudAdd = number(kLMEstimateLumoraPredictKey, kLMEstimateAddKey);
  const std::int32_t cloudDelete = number(kLMEstimateLumoraPredictKey, kLMEstimateDeleteKey);
  const std::int32_t cloudNet = cloudAdd - cloudDelete;
  if ((localNet >= 0 && cloudNet >= 0) || background) {
    runFullSync(background);
    return;
  }
  std::string message = ui::localizedString("本次同步");
  if (cloudNet < 0) {
    message +=
        ui::localizedCountString("Delete Local Contact Format", static_cast<std::int64_t>(cloudDelete - cloudAdd));
  }
  if (localNet < 0) {
    // A separator only after the phone's text: the cloud's deletions that
    // its adds make up for left none.
    if (cloudNet < 0) message += ui::localizedString("Dot");
    message += ui::localizedCountString("Delete Lumora Contact Format", -static_cast<std::int64_t>(localNet));
  }
  showAlert("提示", message, "取消", {"继续同步"});
}

void LMRootViewController::runFullSync(bool inBackground) {
  adapter()->performTaskBlock([] { adapter()->synchronizeAllRecords(); }, inBackground);
}

void LMRootViewController::didSuccessLogin() {
  closeSignInScreens(*this);
  platform::NotificationCenter::defaultCenter().post("LMPassportDidLoginNotification", {{"type", "contacts"}});
  synchronize(false);
}

void LMRootViewController::didCancelLogin() { closeSignInScreens(*this); }

void LMRootViewController::alertView(ui::AlertView& alert, int buttonIndex) {
  if (buttonIndex < 0 || buttonIndex >= static_cast<int>(alert.buttonTitles().size())) return;
  const std::string& title = alert.buttonTitles()[static_cast<std::size_t>(buttonIndex)];
  auto is = [&](const char* key) { return title == ui::localizedString(key); };
  if (is("继续同步")) {
    adapter()->performTaskBlock([] { adapter()->synchronizeAllRecords(); });
  } else if (is("取消")) {
    if (auto root = delegate()) root->didControllerEndSync(*this);
    if (syncLoadViewController_) syncLoadViewController_->cancelSyncAnimation();
  } else if (is("不用了")) {
    synchronize(false);
  } else if (is("去导入")) {
    KoStatSDK::recordCountEvent("菜单导入联系人按钮", "button");
    auto weak = weakSelf();
    requestAddressBookAuthorization([weak] {
      auto page = weak.lock();
      auto screen = std::dynamic_pointer_cast<ui::NavigationController>(
          LMStoryboard::instantiateViewControllerWithIdentifier("mergeSourceViewController"));
      if (!page || !screen) return;
      if (auto import = std::dynamic_pointer_cast<LMMergeSourceTableViewController>(screen->topViewController())) {
        import->setDelegate(page->mergeSourceDelegate());
      }
      if (auto navigation = page->navigationController()) {
        navigation->presentViewController(screen, true);
      } else {
        page->presentViewController(screen, true);
      }
    });
  } else if (is("去评分")) {
    auto info = platform::Bundle::infoDictionary();
    auto url = info.is_object() && info.contains("LMAppStoreURL") && info["LMAppStoreURL"].is_string()
                   ? info["LMAppStoreURL"].get<std::string>()
                   : std::string(kDefaultAppStoreURL);
    platform::Application::shared().openURL(url);
  } else if (is("开启")) {
    requestLocationAlwaysAccess();
  } else if (is("去设置")) {
    gotoSystemSettings();
  }
}

void LMRootViewController::removeNotifyView() {
  if (appConfig().autoBackupContacts()) LMSynBaseViewController::removeNotifyView();
}

void LMRootViewController::removeAllContacts() {
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::LightContent;
  auto weak = weakSelf();
  hud.showWithTitle(ui::localizedString("Removing All Contacts"), [weak] {
    adapter()->performTaskBlock([weak] {
      auto book = LMContactSyncAdapter::openAddressBook();
      const ab::Record source = book ? LMManagedRecordContext::defaultSourceInAddressBook(book.get()) : ab::Record{};
      // Without a synced source nothing is removed, and that is a failure:
      // the HUD still goes.
      const bool removed = source && LMManagedRecordContext::deleteAllABRecords(book.get(), source);
      LMSyncAdapter::performMainThreadBlock([&] {
        LMProgressHUD::sharedHUD().dismissWithBlock([weak, removed] {
          auto page = weak.lock();
          if (!page) return;
          page->hideSyncLoadViewController(true);
          KoStatSDK::recordCountEvent(removed ? "清空通讯录成功" : "清空通讯录失败", "clear_local");
          page->showAlert(removed ? "Remove All Contacts Success" : "Remove All Contacts Fail", "", "我知道了");
        });
      });
    });
  });
}

}  // namespace lumora
