#include "screens/contacts/LMManualMergeTableViewController.h"

#include <cmath>

#include "applog/LoggerRegistry.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/media/Image.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMProgressHUD.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;
namespace ab = platform::addressbook;

LMManualMergeTableViewController::LMManualMergeTableViewController() {
  cellDelegate_->didPropertySelectCellChange = [this](LMPropertySelectCell& cell) {
    didPropertySelectCellChange(cell);
  };
}

std::vector<LMContact> LMManualMergeTableViewController::keptContacts(const LMMergeManagedObject& group) {
  std::vector<LMContact> kept;
  for (const auto& contact : group.members()) {
    if (contact.recordID && group.ignoreContactIDs.count(*contact.recordID)) continue;
    kept.push_back(contact);
  }
  return kept;
}

void LMManualMergeTableViewController::viewDidLoad() {
  LMTableViewController::viewDidLoad();
  setBackItem(&LMManualMergeTableViewController::cancelButton);
  setRightItem(ui::localizedString("合并"), &LMManualMergeTableViewController::mergeButton);
  tableView()->registerCell("mergePropertyCell", [] { return LMPropertySelectCell::create("mergePropertyCell"); });
  tableView()->registerCell("photoPropertyCell", [] {
    auto cell = std::make_shared<ui::TableViewCell>("photoPropertyCell");
    cell->layoutSubviews();  // puts its text label in place, unused here
    cell->textLabel()->setHidden(true);
    cell->setBackgroundColor(ui::Color::clear());
    return cell;
  });
  if (!mergeObject) return;
  finalMergeArray_ = mergeObject->mergePropertyArray;
  auto kept = keptContacts(*mergeObject);
  if (kept.empty()) return;
  std::vector<ui::Image> photos;
  if (auto book = ab::AddressBook::create()) {
    for (std::size_t i = 0; i < kept.size(); ++i) {
      ab::Record person = LMManagedRecordContext::recordABPersonWithRecordID(kept[i].recordID, book->get());
      if (!person) continue;
      auto data = person.imageData(ab::ImageFormat::Thumbnail);
      if (!data) continue;
      auto bitmap = platform::Image::imageWithData(std::move(*data));
      if (!bitmap) continue;
      photos.push_back(ui::Image::imageWithBitmap(std::move(*bitmap), 2));
      photoContactArray_.push_back(i);
    }
  }
  if (!photos.empty()) {
    double rows = std::ceil(static_cast<double>(photos.size()) / 5);
    photoSelectView_ = LMPhotoSelectView::create({0, 0, 320, 45 * rows + 42}, std::move(photos));
    photoSelectView_->titleLabel()->setText(ui::localizedString("头像"));
  }
  tableView()->reloadData();
}

void LMManualMergeTableViewController::viewDidAppear(bool animated) {
  LMTableViewController::viewDidAppear(animated);
  KoStatSDK::recordPage("手动合并联系人界面");
}

std::size_t LMManualMergeTableViewController::entryCount() const {
  return mergeObject && mergeObject->mergePropertyArray.is_array() ? mergeObject->mergePropertyArray.size() : 0;
}

int LMManualMergeTableViewController::numberOfRowsInSection(ui::TableView&, int) {
  return static_cast<int>(entryCount() + (photoSelectView_ ? 1 : 0));
}

std::shared_ptr<ui::TableViewCell> LMManualMergeTableViewController::cellForRowAtIndexPath(ui::TableView& table,
                                                                                          ui::IndexPath path) {
  if (photoSelectView_ && path.row == 0) {
    auto cell = table.dequeueReusableCell("photoPropertyCell");
    photoSelectView_->removeFromSuperview();
    cell->contentView()->addSubview(photoSelectView_);
    return cell;
  }
  int index = path.row - (photoSelectView_ ? 1 : 0);
  auto cell = std::static_pointer_cast<LMPropertySelectCell>(table.dequeueReusableCell("mergePropertyCell"));
  cell->setDelegate(cellDelegate_);
  cell->setPropertyDic(mergeObject, static_cast<std::size_t>(index));
  cell->setTag(index);
  return cell;
}

std::optional<double> LMManualMergeTableViewController::heightForRowAtIndexPath(ui::TableView&, ui::IndexPath path) {
  if (photoSelectView_ && path.row == 0) return photoSelectView_->frame().height;
  auto index = static_cast<std::size_t>(path.row - (photoSelectView_ ? 1 : 0));
  if (index >= entryCount()) return 0;
  const auto& entry = mergeObject->mergePropertyArray[index];
  auto key = LMPropertySelectCell::propertyKey(entry);
  std::size_t values = !key.empty() && entry[key].is_array() ? entry[key].size() : 0;
  return 36 + 51 * static_cast<double>(values);
}

void LMManualMergeTableViewController::didPropertySelectCellChange(LMPropertySelectCell& cell) {
  if (cell.tag() < 0 || static_cast<std::size_t>(cell.tag()) >= finalMergeArray_.size()) return;
  finalMergeArray_[static_cast<std::size_t>(cell.tag())] = cell.finalPropertyDic();
}

void LMManualMergeTableViewController::cancelMergeContact(bool fromUser) {
  if (fromUser) KoStatSDK::recordCountEvent("取消手动合并联系人按钮", "button");
  if (auto navigation = navigationController()) navigation->popViewController(true);
}

void LMManualMergeTableViewController::mergeContact(bool fromUser) {
  if (fromUser) KoStatSDK::recordCountEvent("手动合并联系人按钮", "button");
  if (!mergeObject || !mergeObject->isContactsCanMerge()) return;
  std::weak_ptr<LMManualMergeTableViewController> weak =
      std::static_pointer_cast<LMManualMergeTableViewController>(shared_from_this());
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  hud.showWithTitle(ui::localizedString("Merging Contacts"), [weak] {
    auto self = weak.lock();
    if (!self) {
      LMProgressHUD::sharedHUD().dismiss();
      return;
    }
    // The choices as they stand now; the task works on copies.
    PhotoChoice photo;
    if (self->photoSelectView_) {
      int index = self->photoSelectView_->selectIndex();
      photo = index >= 0 && static_cast<std::size_t>(index) < self->photoContactArray_.size()
                  ? static_cast<int>(self->photoContactArray_[static_cast<std::size_t>(index)])
                  : -1;
    }
    auto kept = keptContacts(*self->mergeObject);
    LMContactSyncAdapter::sharedAdapter()->performTaskBlock(
        [weak, kept = std::move(kept), finalArray = self->finalMergeArray_, photo] {
          auto finalContact = mergeIntoAddressBook(kept, finalArray, photo);
          platform::MainQueue::main().async([weak, finalContact = std::move(finalContact)]() mutable {
            if (auto self = weak.lock()) {
              self->didFinishMerge(std::move(finalContact));
            } else {
              LMProgressHUD::sharedHUD().dismiss();
            }
          });
        });
  });
}

std::optional<LMContact> LMManualMergeTableViewController::mergeIntoAddressBook(const std::vector<LMContact>& kept,
                                                                                const platform::Json& finalMergeArray,
                                                                                PhotoChoice photo) {
  QB_LOG_INFO("Manual Merge Contacts Begin");
  if (kept.empty()) return std::nullopt;
  auto opened = ab::AddressBook::create();
  if (!opened) return std::nullopt;
  ab::AddressBook* book = opened->get();
  ab::Record target = LMManagedRecordContext::recordABPersonWithRecordID(kept[0].recordID, book);
  if (!target) return std::nullopt;

  if (photo && *photo >= 0) {
    // The contact whose photo was chosen may have lost its person since the
    // screen opened: then nothing is written.
    if (static_cast<std::size_t>(*photo) >= kept.size()) return std::nullopt;
    ab::Record owner =
        LMManagedRecordContext::recordABPersonWithRecordID(kept[static_cast<std::size_t>(*photo)].recordID, book);
    if (!owner) {
      QB_LOG_ERROR("Manual Merge Contacts Error: {}", "the chosen photo's person is gone");
      return std::nullopt;
    }
    if (auto data = owner.imageData(ab::ImageFormat::OriginalSize)) {
      if (auto status = target.setImageData(std::move(*data)); !status) {
        QB_LOG_ERROR("Manual Merge Contacts Error: {}", status.error().description());
        return std::nullopt;
      }
    }
  } else if (photo && target.hasImageData()) {
    if (auto status = target.removeImageData(); !status) {
      QB_LOG_ERROR("Manual Merge Contacts Error: {}", status.error().description());
      return std::nullopt;
    }
  }

  auto merged = LMMergeManagedObject::contactFromPropertyArray(finalMergeArray);
  if (!merged || !merged->mergeToLocalRecord(target)) return std::nullopt;
  for (std::size_t i = 1; i < kept.size(); ++i) {
    ab::Record other = LMManagedRecordContext::recordABPersonWithRecordID(kept[i].recordID, book);
    if (!other) continue;
    if (!LMManagedRecordContext::deleteABRecord(other, book)) return std::nullopt;
  }
  if (!LMManagedRecordContext::saveAddressBook(book)) return std::nullopt;
  return LMContact::initWithABRecord(target);
}

void LMManualMergeTableViewController::didFinishMerge(std::optional<LMContact> finalContact) {
  bool success = finalContact.has_value();
  if (success && mergeObject) {
    mergeObject->isMerged = true;
    mergeObject->finalContact = std::move(finalContact);
  }
  if (success) {
    QB_LOG_INFO("Manual Merge Contacts Success");
    KoStatSDK::recordCountEvent("merge_success", "手动合并联系人");
  } else {
    QB_LOG_INFO("Manual Merge Contacts Fail");
    KoStatSDK::recordCountEvent("merge_fail", "手动合并联系人");
  }
  std::weak_ptr<LMManualMergeTableViewController> weak =
      std::static_pointer_cast<LMManualMergeTableViewController>(shared_from_this());
  LMProgressHUD::sharedHUD().dismissWithBlock([weak, success] {
    auto self = weak.lock();
    if (!self) return;
    auto delegate = self->delegate_.lock();
    if (!delegate) return;
    if (success && delegate->didSuccessMergeObject) delegate->didSuccessMergeObject(self->mergeObject);
    if (!success && delegate->didFailMergeObject) delegate->didFailMergeObject();
  });
}

}  // namespace lumora
