// The field-by-field merge: the photo chooser's grid and choice, single and
// multiple choice rows, the photo written at full size or removed, and the
// failures that leave the address book as it was (a failed save, the chosen
// photo's person gone).
#include <gtest/gtest.h>

#include "screens/contacts/ContactsScreensFixture.h"
#include "screens/contacts/LMManualMergeTableViewController.h"
#include "support/TestMedia.h"

namespace lumora {
namespace {

using namespace contactsscreenstest;

class ManualMergeTest : public ContactsScreensFixture {
 protected:
  void SetUp() override {
    photos_ = {testsupport::makeJpeg(64, 64), testsupport::makeJpeg(200, 100)};
    ids_ = people({{"Ann", "Lee", {"1"}, {}, photos_[0]}, {"Ann", "Lee", {"2"}, {"a@x"}, photos_[1]}});
    for (int i = 0; i < 2; ++i) {
      ab::Record p = book_->personWithId(ids_[static_cast<std::size_t>(i)]);
      ASSERT_TRUE(p.setValue(ab::PersonProperty::Organization, i == 0 ? "X" : "Y").ok());
    }
    ASSERT_TRUE(book_->save().ok());
    std::vector<LMContact> contacts;
    for (auto id : ids_) contacts.push_back(*LMContact::initWithABRecord(book_->personWithId(id)));
    group_ = std::make_shared<LMMergeManagedObject>(contacts);
    group_->generateMergePropertyArray();
    screen_->mergeObject = group_;
    delegate_->didSuccessMergeObject = [this](const std::shared_ptr<LMMergeManagedObject>&) { ++successes_; };
    delegate_->didFailMergeObject = [this] { ++failures_; };
    screen_->setDelegate(delegate_);
    screen_->loadViewIfNeeded();
  }
  // The row cell of the entry named `key`.
  std::shared_ptr<LMPropertySelectCell> row(const std::string& key) {
    int rows = screen_->numberOfRowsInSection(*screen_->tableView(), 0);
    for (int r = 1; r < rows; ++r) {
      auto cell = std::static_pointer_cast<LMPropertySelectCell>(
          screen_->cellForRowAtIndexPath(*screen_->tableView(), {0, r}));
      if (LMPropertySelectCell::propertyKey(group_->mergePropertyArray[static_cast<std::size_t>(cell->tag())]) == key) {
        return cell;
      }
    }
    ADD_FAILURE() << key;
    return nullptr;
  }
  void tapPhoto(int index) { screen_->photoSelectView()->photoButtons()[static_cast<std::size_t>(index)]->tap(); }
  ab::Record target() {
    book_->revert();
    return book_->personWithId(ids_[0]);
  }

  std::vector<platform::Bytes> photos_;
  std::vector<std::int32_t> ids_;
  std::shared_ptr<LMMergeManagedObject> group_;
  std::shared_ptr<LMManualMergeTableViewController> screen_ = std::make_shared<LMManualMergeTableViewController>();
  std::shared_ptr<LMManualMergeTableViewControllerDelegate> delegate_ =
      std::make_shared<LMManualMergeTableViewControllerDelegate>();
  int successes_ = 0;
  int failures_ = 0;
};

TEST_F(ManualMergeTest, ElevenPhotosMakeThreeRowsOfFiveWithOneOrNoneChosen) {
  std::vector<ui::Image> photos(11, ui::Image::imageWithBitmap(*platform::Image::imageWithData(photos_[0])));
  auto chooser = LMPhotoSelectView::create({0, 0, 320, 45 * 3 + 42}, photos);
  EXPECT_EQ(chooser->frame().height, 177);
  std::vector<double> xs;
  std::vector<double> ys;
  for (const auto& button : chooser->photoButtons()) {
    if (button->frame().y == 5) xs.push_back(button->frame().x);
    if (button->frame().x == 15) ys.push_back(button->frame().y);
  }
  EXPECT_EQ(xs, (std::vector<double>{15, 77.5, 140, 202.5, 265}));
  EXPECT_EQ(ys, (std::vector<double>{5, 50, 95}));

  EXPECT_EQ(chooser->selectIndex(), 0);
  chooser->photoButtons()[3]->tap();
  EXPECT_EQ(chooser->selectIndex(), 3);
  EXPECT_FALSE(chooser->photoButtons()[0]->isSelected());
  EXPECT_EQ(chooser->photoButtons()[3]->borderWidth(), 1);
  chooser->photoButtons()[3]->tap();
  EXPECT_EQ(chooser->selectIndex(), -1);
  EXPECT_EQ(chooser->photoButtons()[3]->borderWidth(), 0);
}

TEST_F(ManualMergeTest, ChosenValuesAndTheSecondContactsFullSizePhotoGoIntoTheFirst) {
  ASSERT_TRUE(screen_->photoSelectView());
  EXPECT_EQ(screen_->photoSelectView()->frame(), (ui::Rect{0, 0, 320, 87}));
  EXPECT_EQ(screen_->photoContactArray(), (std::vector<std::size_t>{0, 1}));
  auto company = row("company");
  ASSERT_TRUE(company);
  EXPECT_EQ(*screen_->heightForRowAtIndexPath(*screen_->tableView(), {0, company->tag() + 1}), 36 + 51 * 2);
  company->buttonArray()[1]->tap();
  company->buttonArray()[1]->tap();
  EXPECT_FALSE(company->buttonArray()[0]->isSelected());
  EXPECT_TRUE(company->buttonArray()[1]->isSelected()) << "a single choice keeps one value";
  auto phones = row("phoneNumberArray");
  ASSERT_TRUE(phones);
  phones->buttonArray()[0]->tap();
  tapPhoto(1);

  screen_->mergeContact(true);
  pump();
  EXPECT_FALSE(LMProgressHUD::sharedHUD().window());
  EXPECT_EQ(successes_, 1);
  EXPECT_TRUE(group_->isMerged);
  ab::Record merged = target();
  EXPECT_EQ(merged.stringValue(ab::PersonProperty::Organization), "Y");
  ASSERT_TRUE(merged.multiStringValue(ab::PersonProperty::Phone));
  EXPECT_EQ(merged.multiStringValue(ab::PersonProperty::Phone)->size(), 1u);
  EXPECT_EQ((*merged.multiStringValue(ab::PersonProperty::Phone))[0].value, "2");
  EXPECT_EQ(merged.multiStringValue(ab::PersonProperty::Email)->size(), 1u) << "untouched rows take all values";
  EXPECT_EQ(merged.imageData(ab::ImageFormat::OriginalSize), photos_[1]);
  EXPECT_EQ(personCount(), 1u);

  screen_->mergeContact(true);
  pump();
  EXPECT_EQ(successes_, 1) << "a merged group does nothing";
}

TEST_F(ManualMergeTest, NoPhotoChosenRemovesTheTargetsPhoto) {
  tapPhoto(0);
  EXPECT_EQ(screen_->photoSelectView()->selectIndex(), -1);
  screen_->mergeContact(true);
  pump();
  EXPECT_EQ(successes_, 1);
  EXPECT_FALSE(target().hasImageData());
  EXPECT_EQ(target().stringValue(ab::PersonProperty::Organization), "X") << "the first value of an untouched row";
}

TEST_F(ManualMergeTest, FailuresLeaveEveryoneInPlaceAndTakeTheHudDown) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
  };
  std::vector<Case> cases = {
      {"failed save",
       [] {
         ab::AddressBook::setWriteFault([](const ab::WriteAttempt& attempt) -> std::optional<platform::Error> {
           if (attempt.operation == ab::WriteOperation::Save) return platform::Error(ab::kErrorDomain, 0);
           return std::nullopt;
         });
       }},
      {"chosen photo's person gone",
       [this] {
         tapPhoto(1);
         ASSERT_TRUE(book_->removeRecord(book_->personWithId(ids_[1])).ok());
         ASSERT_TRUE(book_->save().ok());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    std::size_t before = personCount();
    row("company")->buttonArray()[1]->tap();
    screen_->mergeContact(true);
    pump();
    ab::AddressBook::setWriteFault(nullptr);
    EXPECT_FALSE(LMProgressHUD::sharedHUD().window());
    EXPECT_FALSE(group_->isMerged);
    EXPECT_EQ(personCount(), before);
    EXPECT_EQ(target().stringValue(ab::PersonProperty::Organization), "X");
    EXPECT_EQ(target().imageData(ab::ImageFormat::OriginalSize), photos_[0]);
  }
  EXPECT_EQ(failures_, 2);
  EXPECT_EQ(successes_, 0);
}

}  // namespace
}  // namespace lumora
