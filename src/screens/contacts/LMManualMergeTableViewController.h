// The field-by-field merge of one group of duplicates: a photo chooser (when
// a kept contact has a photo) and one row per field with values, each value
// a check button. "合并" writes the chosen values (and photo) into the first
// kept contact, deletes the other kept contacts, saves, marks the group
// merged and tells the delegate. The merge runs as a task on the contact
// sync adapter's queue behind the HUD and hands its outcome to the main
// queue, where the group changes.
//
// Ownership: made with std::make_shared; shares the group with the
// duplicate-merge screen; the delegate is held weakly. Threading: main
// thread, apart from the merge task (which works on copies). Failure: any
// failed step leaves the address book unsaved and the group open; the HUD
// comes down and the delegate hears didFailMergeObject.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "cloud/model/LMMergeManagedObject.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "screens/contacts/LMPhotoSelectView.h"
#include "screens/contacts/LMPropertySelectCell.h"
#include "screens/contacts/LMTableViewController.h"

namespace lumora {

class LMManualMergeTableViewControllerDelegate {
 public:
  virtual ~LMManualMergeTableViewControllerDelegate() = default;
  std::function<void(const std::shared_ptr<LMMergeManagedObject>& group)> didSuccessMergeObject;
  std::function<void()> didFailMergeObject;
};

class LMManualMergeTableViewController : public LMTableViewController {
 public:
  LMManualMergeTableViewController();

  std::shared_ptr<LMMergeManagedObject> mergeObject;
  void setDelegate(std::weak_ptr<LMManualMergeTableViewControllerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  const std::shared_ptr<LMPhotoSelectView>& photoSelectView() const { return photoSelectView_; }
  const std::vector<std::size_t>& photoContactArray() const { return photoContactArray_; }
  const platform::Json& finalMergeArray() const { return finalMergeArray_; }

  // The group's contacts less those left out, in order.
  static std::vector<LMContact> keptContacts(const LMMergeManagedObject& group);
  // The photo step's choice: nullopt leaves the target's photo alone; a
  // kept-contact index takes that contact's full-size photo; -1 removes it.
  using PhotoChoice = std::optional<int>;
  // The merge itself, on the calling thread with a handle of its own: the
  // target person re-read after the save, or nullopt (nothing saved).
  static std::optional<LMContact> mergeIntoAddressBook(const std::vector<LMContact>& kept,
                                                       const platform::Json& finalMergeArray, PhotoChoice photo);

  bool showsPrompt() const override { return false; }
  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void cancelMergeContact(bool fromUser);
  void mergeContact(bool fromUser);
  void didPropertySelectCellChange(LMPropertySelectCell& cell);

  int numberOfRowsInSection(platform::ui::TableView& table, int section) override;
  std::shared_ptr<platform::ui::TableViewCell> cellForRowAtIndexPath(platform::ui::TableView& table,
                                                                     platform::ui::IndexPath path) override;
  std::optional<double> heightForRowAtIndexPath(platform::ui::TableView& table, platform::ui::IndexPath path) override;

 private:
  void cancelButton() { cancelMergeContact(true); }
  void mergeButton() { mergeContact(true); }
  void didFinishMerge(std::optional<LMContact> finalContact);
  std::size_t entryCount() const;

  std::weak_ptr<LMManualMergeTableViewControllerDelegate> delegate_;
  std::shared_ptr<LMPhotoSelectView> photoSelectView_;
  std::vector<std::size_t> photoContactArray_;
  platform::Json finalMergeArray_ = platform::Json::array();
  std::shared_ptr<LMPropertySelectCellDelegate> cellDelegate_ = std::make_shared<LMPropertySelectCellDelegate>();
};

}  // namespace lumora
