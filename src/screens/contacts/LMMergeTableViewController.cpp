#include "screens/contacts/LMMergeTableViewController.h"

#include <algorithm>

#include "applog/LoggerRegistry.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMPersonCard.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;
namespace ab = platform::addressbook;

namespace {
constexpr const char* kMergeCategoryKey = "批量合并联系人";
}  // namespace

LMMergeTableViewController::LMMergeTableViewController() {
  cellDelegate_->willManualMergeObject = [this](const LMMergeGroup& group) { willManualMergeObject(group); };
  cellDelegate_->willAddContactToMergeObject = [this](const LMMergeGroup& group) {
    willAddContactToMergeObject(group);
  };
  cellDelegate_->didCancelMergeObject = [this](const LMMergeGroup& group) { didCancelMergeObject(group); };
  cellDelegate_->didSelectMergeContact = [this](const LMContact& contact) { didSelectMergeContact(contact); };
  pickerDelegate_->didSelectPerson = [this](platform::addressbookui::PeoplePickerNavigationController& picker,
                                            const ab::Record& person) {
    peoplePickerDidSelectPerson(picker, person);
  };
  // The platform leaves the picker to its presenter.
  pickerDelegate_->didCancel = [this](platform::addressbookui::PeoplePickerNavigationController&) {
    dismissViewController(true);
  };
  manualDelegate_->didSuccessMergeObject = [this](const LMMergeGroup& group) { didSuccessMergeObject(group); };
  manualDelegate_->didFailMergeObject = [this] { didFailMergeObject(); };
}

std::weak_ptr<LMMergeTableViewController> LMMergeTableViewController::weakSelf() {
  return std::static_pointer_cast<LMMergeTableViewController>(shared_from_this());
}

LMMergeGroup LMMergeTableViewController::newOwnGroup() {
  return std::make_shared<LMMergeManagedObject>(LMMergeManagedObject::initWithMergedContacts({}));
}

void LMMergeTableViewController::viewDidLoad() {
  LMTableViewController::viewDidLoad();
  mergeContactArray_.reset();
  mergeContactIDs_.clear();
  setBackItem(&LMMergeTableViewController::cancelMergeButton);
  setRightItem(ui::localizedString("批量合并"), &LMMergeTableViewController::mergeBatchButton);
  tableView()->registerCell("mergeContactCell", [] { return LMMergeContactCell::create("mergeContactCell"); });
  tableView()->reloadData();
}

void LMMergeTableViewController::viewDidAppear(bool animated) {
  LMTableViewController::viewDidAppear(animated);
  KoStatSDK::recordPage("合并联系人界面");
}

void LMMergeTableViewController::cancelMerge(bool fromUser) {
  if (fromUser) KoStatSDK::recordCountEvent("取消批量合并联系人按钮", "button");
  auto delegate = delegate_.lock();
  if (delegate && delegate->didCancelMerge) delegate->didCancelMerge();
}

void LMMergeTableViewController::searchRepeatedContacts() {
  auto weak = weakSelf();
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  hud.showWithTitle(ui::localizedString("Searching Repeat Contacts"), [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->adapter()->performTaskBlock([weak] {
      std::optional<std::vector<LMMergeManagedObject>> groups;
      if (auto book = ab::AddressBook::create()) {
        ab::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book->get());
        if (source) groups = LMManagedRecordContext::searchForMergeContacts(book->get(), source);
      }
      platform::MainQueue::main().async([weak, groups = std::move(groups)]() mutable {
        if (auto self = weak.lock()) {
          self->didFinishSearch(std::move(groups));
        } else {
          LMProgressHUD::sharedHUD().dismiss();
        }
      });
    });
  });
}

void LMMergeTableViewController::didFinishSearch(std::optional<std::vector<LMMergeManagedObject>> groups) {
  LMProgressHUD::sharedHUD().dismiss();
  if (groups) {
    std::vector<LMMergeGroup> list;
    for (auto& group : *groups) {
      for (const auto& contact : group.members()) {
        if (contact.recordID) mergeContactIDs_.insert(*contact.recordID);
      }
      list.push_back(std::make_shared<LMMergeManagedObject>(std::move(group)));
    }
    list.push_back(newOwnGroup());
    mergeContactArray_ = std::move(list);
  }
  tableView()->reloadData();
}

void LMMergeTableViewController::mergeBatchContacts(bool fromUser) {
  if (fromUser) KoStatSDK::recordCountEvent("批量合并联系人按钮", "button");
  bool any = mergeContactArray_ && std::any_of(mergeContactArray_->begin(), mergeContactArray_->end(),
                                                [](const LMMergeGroup& g) { return g->isContactsCanMerge(); });
  auto weak = weakSelf();
  auto clicked = [weak](ui::AlertView& alert, int index) {
    auto self = weak.lock();
    if (self && index >= 0 && index < static_cast<int>(alert.buttonTitles().size())) {
      self->confirmBatchMerge(alert.buttonTitles()[static_cast<std::size_t>(index)]);
    }
  };
  std::shared_ptr<ui::AlertView> alert;
  if (any) {
    alert = ui::AlertView::alert(ui::localizedString("批量合并"), ui::localizedString("Auto Merge Contacts"),
                                 ui::localizedString("取消"), {ui::localizedString("批量合并")}, clicked);
  } else {
    alert = ui::AlertView::alert(ui::localizedString("批量合并"), ui::localizedString("No Contacts to Auto Merge"),
                                 ui::localizedString("我知道了"), {}, clicked);
  }
  alert->show();
}

void LMMergeTableViewController::confirmBatchMerge(const std::string& buttonTitle) {
  if (buttonTitle != ui::localizedString("批量合并") || !mergeContactArray_ || mergeContactArray_->empty()) return;
  auto& list = *mergeContactArray_;
  if (list.back()->members().size() < 2) {
    if (list.size() == 1) {
      showAlertViewWithTitle(ui::localizedString("批量合并失败"), ui::localizedString("Add Tow Contacts At Least"));
      return;
    }
    list.pop_back();
  }
  auto weak = weakSelf();
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  hud.showWithTitle(ui::localizedString("Merging Contacts"), [weak] {
    auto self = weak.lock();
    if (!self || !self->mergeContactArray_) {
      LMProgressHUD::sharedHUD().dismiss();
      return;
    }
    // The task works on copies; the list's groups change on the main queue.
    std::vector<LMMergeGroup> groups = *self->mergeContactArray_;
    std::vector<LMMergeManagedObject> work;
    for (const auto& group : groups) work.push_back(*group);
    self->adapter()->performTaskBlock([weak, groups = std::move(groups), work = std::move(work)]() mutable {
      QB_LOG_INFO("Batch Merge Contacts Begin");
      std::size_t result = 0;
      if (auto book = ab::AddressBook::create()) {
        ab::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book->get());
        if (source) result = LMManagedRecordContext::mergeContactObjects(work, book->get(), source);
      }
      platform::MainQueue::main().async(
          [weak, groups = std::move(groups), work = std::move(work), result]() mutable {
            if (auto self = weak.lock()) {
              self->didFinishBatchMerge(std::move(groups), std::move(work), result);
            } else {
              LMProgressHUD::sharedHUD().dismiss();
            }
          });
    });
  });
}

void LMMergeTableViewController::didFinishBatchMerge(std::vector<LMMergeGroup> groups,
                                                     std::vector<LMMergeManagedObject> merged, std::size_t result) {
  for (std::size_t i = 0; i < groups.size() && i < merged.size(); ++i) *groups[i] = std::move(merged[i]);
  groups.push_back(newOwnGroup());
  mergeContactArray_ = std::move(groups);
  QB_LOG_INFO("Batch Merge Contacts Success");
  auto weak = weakSelf();
  LMProgressHUD::sharedHUD().dismissWithBlock([weak, result] {
    auto self = weak.lock();
    if (!self) return;
    self->tableView()->reloadData();
    self->showAlertViewWithTitle(std::nullopt,
                                 ui::localizedCountString("Merge Contacts Format", static_cast<std::int64_t>(result)));
  });
}

void LMMergeTableViewController::showAlertViewWithTitle(const std::optional<std::string>& title,
                                                        const std::string& message) {
  ui::AlertView::alert(title.value_or(ui::localizedString("批量合并")), message, ui::localizedString("我知道了"), {})
      ->show();
}

void LMMergeTableViewController::willManualMergeObject(const LMMergeGroup& group) {
  KoStatSDK::recordCountEvent("手动合并联系人", kMergeCategoryKey);
  if (!group || !group->isContactsCanMerge()) return;
  auto screen = std::dynamic_pointer_cast<LMManualMergeTableViewController>(
      LMStoryboard::instantiateViewControllerWithIdentifier("manualMergeTableViewController"));
  if (!screen) screen = std::make_shared<LMManualMergeTableViewController>();
  group->generateMergePropertyArray();
  screen->mergeObject = group;
  screen->setDelegate(manualDelegate_);
  if (auto navigation = navigationController()) navigation->pushViewController(screen, true);
}

void LMMergeTableViewController::willAddContactToMergeObject(const LMMergeGroup&) {
  KoStatSDK::recordCountEvent("添加联系人", kMergeCategoryKey);
  auto picker = platform::addressbookui::PeoplePickerNavigationController::create();
  picker->setPeoplePickerDelegate(pickerDelegate_);
  presentViewController(picker, true);
}

void LMMergeTableViewController::peoplePickerDidSelectPerson(
    platform::addressbookui::PeoplePickerNavigationController&, const ab::Record& person) {
  // The platform leaves the picker to its presenter.
  dismissViewController(true);
  std::int32_t id = person.id();
  if (mergeContactIDs_.count(id)) {
    showAlertViewWithTitle(ui::localizedString("添加联系人"), ui::localizedString("Not Add Contact Again"));
    return;
  }
  auto contact = LMContact::initWithABRecord(person);
  if (!contact || !mergeContactArray_ || mergeContactArray_->empty()) return;
  mergeContactIDs_.insert(id);
  auto contacts = mergeContactArray_->back()->mergeContacts();
  contacts.push_back(std::move(*contact));
  mergeContactArray_->back() =
      std::make_shared<LMMergeManagedObject>(LMMergeManagedObject::initWithMergedContacts(std::move(contacts)));
  tableView()->reloadData();
}

void LMMergeTableViewController::didCancelMergeObject(const LMMergeGroup& group) {
  KoStatSDK::recordCountEvent("取消合并一组联系人", kMergeCategoryKey);
  if (!mergeContactArray_) return;
  auto& list = *mergeContactArray_;
  auto found = std::find(list.begin(), list.end(), group);
  if (found == list.end()) return;
  for (const auto& contact : group->members()) {
    if (contact.recordID) mergeContactIDs_.erase(*contact.recordID);
  }
  if (found + 1 != list.end()) {
    list.erase(found);
  } else {
    *found = newOwnGroup();
  }
  tableView()->reloadData();
}

void LMMergeTableViewController::didSelectMergeContact(const LMContact& contact) {
  KoStatSDK::recordCountEvent("查看联系人", kMergeCategoryKey);
  auto weak = weakSelf();
  auto card = LMPersonCard::personViewController(contact.recordID, addressBook_, [weak] {
    if (auto self = weak.lock()) self->popNavigationViewController();
  });
  if (!card) return;
  if (auto navigation = navigationController()) navigation->pushViewController(card, true);
}

void LMMergeTableViewController::didSuccessMergeObject(const LMMergeGroup& group) {
  if (mergeContactArray_ && !mergeContactArray_->empty() && mergeContactArray_->back() == group) {
    mergeContactArray_->push_back(newOwnGroup());
  }
  tableView()->reloadData();
  popNavigationViewController();
}

void LMMergeTableViewController::didFailMergeObject() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->didCancelMerge) delegate->didCancelMerge();
}

void LMMergeTableViewController::popNavigationViewController() {
  KoStatSDK::recordCountEvent("手动合并联系人返回按钮", "button");
  addressBook_.reset();
  if (auto navigation = navigationController()) navigation->popViewController(true);
}

int LMMergeTableViewController::numberOfRowsInSection(ui::TableView&, int) {
  if (!mergeContactArray_ || mergeContactArray_->empty()) {
    numLabel()->setText(ui::localizedString("No Contacts to Merge"));
    return 0;
  }
  auto n = std::count_if(mergeContactArray_->begin(), mergeContactArray_->end(),
                         [](const LMMergeGroup& g) { return g->isContactsCanMerge(); });
  // A group the user is building is not "nothing to merge": it wants a
  // second contact.
  const auto& own = mergeContactArray_->back();
  const bool building = !own->isMerged && !own->mergeContacts().empty();
  if (n > 0) {
    numLabel()->setText(ui::localizedCountString("Merge Contacts Prompt Format", static_cast<std::int64_t>(n)));
  } else {
    numLabel()->setText(ui::localizedString(building ? "Add Tow Contacts At Least" : "No Contacts to Merge"));
  }
  return static_cast<int>(mergeContactArray_->size());
}

std::shared_ptr<ui::TableViewCell> LMMergeTableViewController::cellForRowAtIndexPath(ui::TableView& table,
                                                                                    ui::IndexPath path) {
  auto cell = std::static_pointer_cast<LMMergeContactCell>(table.dequeueReusableCell("mergeContactCell"));
  if (!mergeContactArray_ || path.row < 0 || path.row >= static_cast<int>(mergeContactArray_->size())) return cell;
  cell->setDelegate(cellDelegate_);
  cell->addButton()->setHidden(path.row + 1 != static_cast<int>(mergeContactArray_->size()));
  cell->setMergeObject((*mergeContactArray_)[static_cast<std::size_t>(path.row)]);
  return cell;
}

std::optional<double> LMMergeTableViewController::heightForRowAtIndexPath(ui::TableView&, ui::IndexPath path) {
  if (!mergeContactArray_ || path.row < 0 || path.row >= static_cast<int>(mergeContactArray_->size())) return 0;
  const auto& group = (*mergeContactArray_)[static_cast<std::size_t>(path.row)];
  if (group->isMerged) return 67;
  auto k = static_cast<double>(group->members().size());
  bool last = path.row + 1 == static_cast<int>(mergeContactArray_->size());
  if (last) return k == 0 ? 47 : 51 * k + 93;
  return 51 * k + 62;
}

}  // namespace lumora
