#include "screens/contacts/LMMergeSourceTableViewController.h"

#include <algorithm>

#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Color.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "stats/KoStatSDK.h"
#include "utils/LMErrors.h"

namespace lumora {

namespace ui = platform::ui;
namespace ab = platform::addressbook;

LMMergeSourceTableViewController::LMMergeSourceTableViewController() {
  cellDelegate_->didSourceCellPressed = [this](LMMergeSourceCell& cell) { didSourceCellPressed(cell); };
  cellDelegate_->didSourceCellSelected = [this](LMMergeSourceCell& cell) { didSourceCellSelected(cell); };
  contactsDelegate_->didCancelShowContacts = [this] { didCancelShowContacts(); };
}

void LMMergeSourceTableViewController::viewDidLoad() {
  LMTableViewController::viewDidLoad();
  setBackItem(&LMMergeSourceTableViewController::cancelButton);
  setRightItem(ui::localizedString("导入"), &LMMergeSourceTableViewController::mergeSources);
  tableView()->registerCell("mergeSourceCell", [] {
    auto cell = LMMergeSourceCell::create("mergeSourceCell");
    cell->textLabel()->setTextColor(ui::Color::black());
    cell->textLabel()->setFont(ui::Font::systemFont(17));
    cell->detailTextLabel()->setTextColor(ui::colorWithHexString("8f8f95"));
    cell->detailTextLabel()->setFont(ui::Font::systemFont(12));
    return cell;
  });
  searchSources();
}

void LMMergeSourceTableViewController::viewDidAppear(bool animated) {
  LMTableViewController::viewDidAppear(animated);
  KoStatSDK::recordPage("合并联系人帐号界面");
}

void LMMergeSourceTableViewController::searchSources() {
  if (auto book = ab::AddressBook::create()) {
    auto found = LMManagedRecordContext::otherSourcesInAddressBook(book->get());
    if (found && !found->empty()) {
      std::vector<LMSource> list;
      for (const auto& source : *found) list.push_back(LMSource::initWithSource(source, book->get()));
      sources_ = std::move(list);
    }
  }
  tableView()->reloadData();
}

void LMMergeSourceTableViewController::cancelMerge(bool fromUser) {
  if (fromUser) KoStatSDK::recordCountEvent("取消导入联系人按钮", "button");
  auto delegate = delegate_.lock();
  if (delegate && delegate->didCancelMergeSource) delegate->didCancelMergeSource();
}

void LMMergeSourceTableViewController::didSourceCellPressed(LMMergeSourceCell& cell) {
  if (!sources_ || cell.tag() < 0 || cell.tag() >= static_cast<int>(sources_->size())) return;
  auto& source = (*sources_)[static_cast<std::size_t>(cell.tag())];
  source.selected = !source.selected;
}

void LMMergeSourceTableViewController::didSourceCellSelected(LMMergeSourceCell& cell) {
  if (!sources_ || cell.tag() < 0 || cell.tag() >= static_cast<int>(sources_->size())) return;
  std::vector<LMContact> contacts;
  if (auto book = ab::AddressBook::create()) {
    ab::Record source = (*book)->sourceWithId((*sources_)[static_cast<std::size_t>(cell.tag())].recordID);
    if (source) {
      for (const auto& person : (*book)->peopleInSource(source, ab::SortOrdering::ByLastName)) {
        if (auto contact = LMContact::initWithABRecord(person)) contacts.push_back(std::move(*contact));
      }
    }
  }
  auto list = std::dynamic_pointer_cast<LMContactsTableViewController>(
      LMStoryboard::instantiateViewControllerWithIdentifier("contactsTableViewController"));
  if (!list) list = std::make_shared<LMContactsTableViewController>();
  list->contacts = std::move(contacts);
  list->setDelegate(contactsDelegate_);
  if (auto navigation = navigationController()) navigation->pushViewController(list, true);
}

void LMMergeSourceTableViewController::didCancelShowContacts() {
  if (auto navigation = navigationController()) navigation->popViewController(true);
}

void LMMergeSourceTableViewController::mergeSources() {
  std::vector<std::int32_t> ticked;
  if (sources_) {
    for (const auto& source : *sources_) {
      if (source.selected) ticked.push_back(source.recordID);
    }
  }
  if (ticked.empty()) {
    ui::AlertView::alert(ui::localizedString("No Sources to Merge"), "", ui::localizedString("我知道了"), {})->show();
    return;
  }
  std::weak_ptr<LMMergeSourceTableViewController> weak =
      std::static_pointer_cast<LMMergeSourceTableViewController>(shared_from_this());
  LMProgressHUD::sharedHUD().showWithTitle(ui::localizedString("Merge Sources"), [weak, ticked] {
    // Behind any sync on the adapter's queue: both write the address book.
    LMContactSyncAdapter::sharedAdapter()->performTaskBlock([weak, ticked] {
      ImportResult result = importSources(ticked);
      platform::MainQueue::main().async([weak, result] {
        if (auto self = weak.lock()) {
          self->didFinishImport(result);
        } else {
          LMProgressHUD::sharedHUD().dismiss();
        }
      });
    });
  });
}

LMMergeSourceTableViewController::ImportResult LMMergeSourceTableViewController::importSources(
    const std::vector<std::int32_t>& sourceIDs) {
  ImportResult result;
  auto book = ab::AddressBook::create();
  if (!book) {
    result.error = book.error();
    return result;
  }
  ab::Record target = LMManagedRecordContext::defaultSourceInAddressBook(book->get());
  if (!target) {
    result.error = platform::Error(kLMLocalErrorDomain, kLMLocalErrorInvalidAddressBookSource);
    return result;
  }
  for (std::int32_t id : sourceIDs) {
    ab::Record source = (*book)->sourceWithId(id);
    if (!source) continue;  // gone since the list was made
    LMManagedRecordContext::mergeContactsSource(
        target, source, book->get(), [&result](std::size_t, std::size_t created, const platform::Status& status) {
          if (!status) {
            if (!result.error) result.error = status.error();
          } else {
            result.added += created;
          }
        });
  }
  return result;
}

void LMMergeSourceTableViewController::didFinishImport(const ImportResult& result) {
  LMProgressHUD::sharedHUD().dismissWithBlock([result] {
    if (result.error) {
      ui::AlertView::alert(ui::localizedString("Merge Source Fail"), "", ui::localizedString("我知道了"), {})->show();
      return;
    }
    std::string message = result.added >= 1
                              ? ui::localizedCountString("Merge Source Success Format",
                                                         static_cast<std::int64_t>(result.added))
                              : std::string();
    ui::AlertView::alert(ui::localizedString("Merge Source Success"), message, ui::localizedString("我知道了"), {})
        ->show();
  });
}

int LMMergeSourceTableViewController::numberOfRowsInSection(ui::TableView&, int) {
  if (!sources_ || sources_->empty()) {
    numLabel()->setText(ui::localizedString("No Sources to Merge"));
    return 0;
  }
  numLabel()->setText(
      ui::localizedCountString("Merge Sources Prompt Format", static_cast<std::int64_t>(sources_->size())));
  return static_cast<int>(sources_->size());
}

std::shared_ptr<ui::TableViewCell> LMMergeSourceTableViewController::cellForRowAtIndexPath(ui::TableView& table,
                                                                                          ui::IndexPath path) {
  auto cell = std::static_pointer_cast<LMMergeSourceCell>(table.dequeueReusableCell("mergeSourceCell"));
  if (!sources_ || path.row < 0 || path.row >= static_cast<int>(sources_->size())) return cell;
  const LMSource& source = (*sources_)[static_cast<std::size_t>(path.row)];
  cell->setDelegate(cellDelegate_);
  cell->setTag(path.row);
  cell->setIsLast(path.row + 1 == static_cast<int>(sources_->size()));
  cell->setIsSelect(source.selected);
  cell->textLabel()->setText(source.name.value_or(""));
  cell->detailTextLabel()->setText(
      ui::localizedCountString("Merge Source Info Format", source.contactNum));
  return cell;
}

std::optional<double> LMMergeSourceTableViewController::heightForRowAtIndexPath(ui::TableView&, ui::IndexPath path) {
  bool last = sources_ && path.row + 1 == static_cast<int>(sources_->size());
  return last ? 52 : 51;
}

}  // namespace lumora
