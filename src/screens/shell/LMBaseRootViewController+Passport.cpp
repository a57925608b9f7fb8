// The root container's answers to the app-wide login and logout
// notifications: the push alias, the device registration, the crash
// reports' user and the pages' counts after a login; after a logout the
// account's traces in every store, cleared behind what the adapters had
// queued, and the pages reset.
#include "applog/LoggerRegistry.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/shell/LMBaseRootViewController.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

// On the image adapter's task queue: empties the gallery cache and its
// album tokens after the writes queued before, and waits for it, so that
// the adapter's next task finds it empty.
void clearGalleryCacheAndWait() {
  auto done = std::make_shared<platform::Semaphore>(0);
  auto& manager = LMGalleryManager::sharedManager();
  manager.deleteAllObjects([&manager, done] {
    manager.removeAlbumSync();
    done->signal();
  });
  done->wait();
}

}  // namespace

void LMBaseRootViewController::passportDidLoginNotice() {
  const auto user = services_.userId();
  // The push service refuses an empty alias.
  if (user) services_.setAlias(*user);
  services_.registerDeviceInfo();
  services_.setUserIdentifier(user);
  if (contactVC_ && services_.isAddressBookAuthorized()) contactVC_->updateLumoraContactsNum();
  if (galleryVC_ && services_.isPhotoLibraryAuthorized()) galleryVC_->updateBackupImageNum();
}

void LMBaseRootViewController::passportLogoutNotice(const platform::Json& userInfo) {
  services_.setUserIdentifier(std::nullopt);
  bool show = false;
  if (userInfo.is_object()) {
    if (auto it = userInfo.find("show"); it != userInfo.end()) {
      show = it->is_boolean() ? it->get<bool>() : (it->is_number() && it->get<double>() != 0);
    }
  }
  auto weak = weakSelf();
  if (!show) {
    logOutAccount(false);
    return;
  }
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::LightContent;
  hud.showWithTitle(ui::localizedString("Logout Quenby Account"), [weak] {
    if (auto self = weak.lock()) self->logOutAccount(true);
  });
}

void LMBaseRootViewController::logOutAccount(bool withHUD) {
  // A backup or download still running for the account would go on
  // listing and writing its albums after the clearing.
  if (auto gallery = services_.imageAdapter()) gallery->cancelSync();
  if (auto user = services_.userId()) {
    for (const auto& alias : services_.getAllAlias().value_or(std::vector<std::string>())) {
      if (alias == *user) {
        services_.unsetAlias(alias);
        break;
      }
    }
  }
  services_.logOut();
  services_.unregisterDeviceInfo();
  // Nobody is signed in any more unless the logout failed to end the
  // session: an empty alias would only be refused.
  if (auto user = services_.userId()) services_.setAlias(*user);
  updateMenuButton();
  clearStores(withHUD);
}

void LMBaseRootViewController::clearStores(bool withHUD) {
  auto contactAdapter = services_.contactAdapter();
  auto imageAdapter = services_.imageAdapter();
  if (!contactAdapter || !imageAdapter) return;
  std::weak_ptr<LMContactSyncAdapter> weakContacts = contactAdapter;
  std::weak_ptr<LMImageSyncAdapter> weakImages = imageAdapter;
  std::weak_ptr<LMRootViewController> contactsPage = contactVC_;
  std::weak_ptr<LMGalleryRootViewController> galleryPage = galleryVC_;
  auto clearContacts = [weakContacts] {
    if (auto adapter = weakContacts.lock()) {
      if (!adapter->context()->clearSynchronousData()) QB_LOG_ERROR("Logout: the contact sync data stays");
      adapter->setHostList(std::nullopt);
    }
  };
  auto clearGallery = [weakImages] {
    if (auto adapter = weakImages.lock()) {
      if (!adapter->context()->clearBackupData()) QB_LOG_ERROR("Logout: the gallery backup data stays");
    }
    clearGalleryCacheAndWait();
  };

  if (withHUD) {
    contactAdapter->performTaskBlock([clearContacts, clearGallery, weakImages, contactsPage, galleryPage] {
      clearContacts();
      auto images = weakImages.lock();
      if (!images) return;
      images->performTaskBlock([clearGallery, contactsPage, galleryPage] {
        clearGallery();
        LMSyncAdapter::performMainThreadBlock([contactsPage, galleryPage] {
          LMProgressHUD::sharedHUD().dismissWithBlock([contactsPage, galleryPage] {
            if (auto page = contactsPage.lock()) page->clearLumoraAccountData();
            if (auto page = galleryPage.lock()) page->clearLumoraAccountData();
          });
        });
      });
    });
    return;
  }
  contactAdapter->performTaskBlock([clearContacts, contactsPage] {
    clearContacts();
    LMSyncAdapter::performMainThreadBlock([contactsPage] {
      if (auto page = contactsPage.lock()) page->clearLumoraAccountData();
    });
  });
  imageAdapter->performTaskBlock([clearGallery, galleryPage] {
    clearGallery();
    LMSyncAdapter::performMainThreadBlock([galleryPage] {
      if (auto page = galleryPage.lock()) page->clearLumoraAccountData();
    });
  });
}

}  // namespace lumora
