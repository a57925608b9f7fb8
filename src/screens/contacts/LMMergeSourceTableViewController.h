// The source merge screen: the address-book sources other than the synced
// one that hold people, with their counts, each ticked for the import at
// first. A row's contacts can be looked at; "导入" copies the people of every
// ticked source into the synced source (as a task on the contact sync
// adapter's queue, behind the HUD, so it never writes while a sync does)
// and shows the outcome: "Merge Source Fail" when any ticked source failed
// or there is no synced source, else "Merge Source Success" with the number
// of people added.
//
// Ownership: made with std::make_shared; owns the list; the delegate is held
// weakly. Threading: main thread, apart from the import task (which works on
// record ids and hands its totals to the main queue). Nothing throws.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Error.h"
#include "screens/contacts/LMContactsTableViewController.h"
#include "screens/contacts/LMMergeSourceCell.h"
#include "screens/contacts/LMSource.h"
#include "screens/contacts/LMTableViewController.h"

namespace lumora {

class LMMergeSourceTableViewControllerDelegate {
 public:
  virtual ~LMMergeSourceTableViewControllerDelegate() = default;
  std::function<void(bool success)> didSuccessMergeSource;
  std::function<void()> didCancelMergeSource;
};

class LMMergeSourceTableViewController : public LMTableViewController {
 public:
  // The outcome of an import.
  struct ImportResult {
    std::size_t added = 0;
    std::optional<platform::Error> error;  // the first failure
  };

  LMMergeSourceTableViewController();

  void setDelegate(std::weak_ptr<LMMergeSourceTableViewControllerDelegate> delegate) { delegate_ = std::move(delegate); }
  const std::optional<std::vector<LMSource>>& sources() const { return sources_; }

  // Imports the people of the sources with these ids into the synced source,
  // on the calling thread with a handle of its own.
  static ImportResult importSources(const std::vector<std::int32_t>& sourceIDs);

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void searchSources();
  void cancelMerge(bool fromUser);
  void mergeSources();
  void didSourceCellPressed(LMMergeSourceCell& cell);
  void didSourceCellSelected(LMMergeSourceCell& cell);
  void didCancelShowContacts();

  int numberOfRowsInSection(platform::ui::TableView& table, int section) override;
  std::shared_ptr<platform::ui::TableViewCell> cellForRowAtIndexPath(platform::ui::TableView& table,
                                                                     platform::ui::IndexPath path) override;
  std::optional<double> heightForRowAtIndexPath(platform::ui::TableView& table, platform::ui::IndexPath path) override;

 private:
  void cancelButton() { cancelMerge(true); }
  void didFinishImport(const ImportResult& result);

  std::weak_ptr<LMMergeSourceTableViewControllerDelegate> delegate_;
  std::optional<std::vector<LMSource>> sources_;
  std::shared_ptr<LMMergeSourceCellDelegate> cellDelegate_ = std::make_shared<LMMergeSourceCellDelegate>();
  std::shared_ptr<LMContactsTableViewControllerDelegate> contactsDelegate_ =
      std::make_shared<LMContactsTableViewControllerDelegate>();
};

}  // namespace lumora
