#include "platform/addressbookui/PeoplePickerNavigationController.h"

#include <algorithm>

#include "platform/ui/Resources.h"
#include "platform/ui/TableView.h"

namespace platform::addressbookui {

// The picker's one screen: the people as table rows.
class PeopleListController : public ui::ViewController,
                             public ui::TableViewDataSource,
                             public ui::TableViewDelegate {
 public:
  explicit PeopleListController(std::weak_ptr<PeoplePickerNavigationController> picker)
      : picker_(std::move(picker)) {}

  void viewDidLoad() override {
    auto self = std::static_pointer_cast<PeopleListController>(shared_from_this());
    table_ = std::make_shared<ui::TableView>(view()->bounds());
    table_->setRowHeight(44);
    table_->setDataSource(std::weak_ptr<ui::TableViewDataSource>(self));
    table_->setDelegate(std::weak_ptr<ui::TableViewDelegate>(self));
    table_->registerCell("personCell", [] { return std::make_shared<ui::TableViewCell>("personCell"); });
    view()->addSubview(table_);
    std::weak_ptr<PeoplePickerNavigationController> weak = picker_;
    navigationItem().rightBarButtonItem = ui::BarButtonItem{ui::localizedString("取消"), [weak] {
      if (auto picker = weak.lock()) picker->cancel();
    }};
    table_->reloadData();
  }

  // The list fills the screen below the bar, down to its last row.
  void viewWillLayoutSubviews() override {
    if (table_ && table_->frame() != view()->bounds()) {
      table_->setFrame(view()->bounds());
      table_->reloadData();
    }
  }

  int numberOfRowsInSection(ui::TableView&, int) override {
    auto picker = picker_.lock();
    return picker ? static_cast<int>(picker->people().size()) : 0;
  }

  std::shared_ptr<ui::TableViewCell> cellForRowAtIndexPath(ui::TableView& table, ui::IndexPath path) override {
    auto cell = table.dequeueReusableCell("personCell");
    auto picker = picker_.lock();
    if (!cell || !picker || path.row >= static_cast<int>(picker->people().size())) return cell;
    cell->textLabel()->setText(picker->people()[static_cast<std::size_t>(path.row)].compositeName().value_or(""));
    return cell;
  }

  void didSelectRowAtIndexPath(ui::TableView& table, ui::IndexPath path) override {
    table.deselectRowAtIndexPath(path);
    if (auto picker = picker_.lock()) picker->selectPersonAtIndex(static_cast<std::size_t>(path.row));
  }

 private:
  std::weak_ptr<PeoplePickerNavigationController> picker_;
  std::shared_ptr<ui::TableView> table_;
};

std::shared_ptr<PeoplePickerNavigationController> PeoplePickerNavigationController::create() {
  auto picker = std::make_shared<PeoplePickerNavigationController>();
  if (auto book = addressbook::AddressBook::create()) {
    picker->addressBook_ = *book;
    picker->people_ = picker->addressBook_->people();
    // By display name, as the platform lists them.
    std::stable_sort(picker->people_.begin(), picker->people_.end(),
                     [](const addressbook::Record& a, const addressbook::Record& b) {
                       return a.compositeName().value_or("") < b.compositeName().value_or("");
                     });
  }
  picker->pushViewController(std::make_shared<PeopleListController>(picker), false);
  return picker;
}

void PeoplePickerNavigationController::selectPersonAtIndex(std::size_t index) {
  if (index >= people_.size()) return;
  auto delegate = delegate_.lock();
  if (delegate && delegate->didSelectPerson) delegate->didSelectPerson(*this, people_[index]);
}

void PeoplePickerNavigationController::cancel() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->didCancel) delegate->didCancel(*this);
}

}  // namespace platform::addressbookui
