// The rows of the merge screens: the source row's mark and presses, the
// contacts list (count line, names, last line, person card), the merge
// group cell (keep / leave out, merged look, tile texts, reuse).
#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "platform/addressbook/Labels.h"
#include "platform/addressbookui/PersonViewController.h"
#include "platform/storage/UserDefaults.h"
#include "screens/contacts/LMPersonCard.h"
#include "screens/contacts/ContactsScreensFixture.h"
#include "screens/contacts/LMContactsTableViewController.h"
#include "screens/contacts/LMMergeContactCell.h"
#include "screens/contacts/LMMergeSourceCell.h"

namespace lumora {
namespace {

using namespace contactsscreenstest;

class MergeCellsTest : public ContactsScreensFixture {};

LMContact cellsTestContact(std::int32_t id, std::optional<std::string> name, std::vector<std::string> phones = {},
                           std::vector<std::string> emails = {}) {
  LMContact contact;
  contact.recordID = id;
  contact.name = std::move(name);
  contact.phoneNumberArray = platform::Json::array();
  contact.emailArray = platform::Json::array();
  for (auto& p : phones) contact.phoneNumberArray.push_back({{"type", "mobile"}, {"value", p}});
  for (auto& e : emails) contact.emailArray.push_back({{"type", "home"}, {"value", e}});
  return contact;
}

TEST_F(MergeCellsTest, SourceRowTogglesItsMarkOnTheStripAndReportsBothPresses) {
  auto cell = LMMergeSourceCell::create("mergeSourceCell");
  cell->setFrame({0, 0, 320, 51});
  cell->setIsSelect(false);
  auto delegate = std::make_shared<LMMergeSourceCellDelegate>();
  int pressed = 0, selected = 0;
  delegate->didSourceCellPressed = [&](LMMergeSourceCell&) { ++pressed; };
  delegate->didSourceCellSelected = [&](LMMergeSourceCell&) { ++selected; };
  cell->setDelegate(delegate);

  auto mark = [&] { return cell->imageView()->image()->path().filename().string(); };
  cell->button()->tap();
  EXPECT_EQ(mark(), "确认合并.png");
  cell->button()->tap();
  EXPECT_EQ(mark(), "未合并.png");
  cell->checkButton()->tap();
  EXPECT_EQ(mark(), "未合并.png");
  EXPECT_EQ(pressed, 2);
  EXPECT_EQ(selected, 1);

  cell->setDelegate(std::make_shared<LMMergeSourceCellDelegate>());  // answers neither
  cell->button()->tap();
  EXPECT_TRUE(cell->isSelect());

  cell->layoutSubviews();
  EXPECT_EQ(cell->whiteBgView()->frame(), (ui::Rect{0, 1, 320, 50}));
  cell->setIsLast(true);
  cell->layoutSubviews();
  EXPECT_EQ(cell->whiteBgView()->frame(), (ui::Rect{0, 1, 320, 49})) << "a line stays below the last row";
}

TEST_F(MergeCellsTest, ContactsListNamesRowsMarksTheLastAndOpensOnlyLivingPeople) {
  auto ids = people({{"Ada", "Lovelace", {"123"}}});
  auto list = std::make_shared<LMContactsTableViewController>();
  auto navigation = ui::NavigationController::withRoot(list);
  navigation->loadViewIfNeeded();
  list->loadViewIfNeeded();
  EXPECT_EQ(list->numberOfRowsInSection(*list->tableView(), 0), 0);
  EXPECT_EQ(list->numLabel()->text(), L("无联系人"));

  list->contacts = {cellsTestContact(ids[0], "Ada Lovelace"), cellsTestContact(ids[0] + 100, ""),
                    cellsTestContact(ids[0] + 101, std::nullopt)};
  list->tableView()->reloadData();
  EXPECT_NE(list->numLabel()->text(), L("无联系人"));
  std::vector<std::string> names;
  std::vector<bool> last;
  for (int row = 0; row < 3; ++row) {
    auto cell = std::static_pointer_cast<LMContactCell>(list->cellForRowAtIndexPath(*list->tableView(), {0, row}));
    names.push_back(cell->textLabel()->text());
    last.push_back(cell->isLast());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Ada Lovelace", L("无名称"), L("无名称")}));
  EXPECT_EQ(last, (std::vector<bool>{false, false, true}));

  auto vanished = std::static_pointer_cast<LMContactCell>(list->cellForRowAtIndexPath(*list->tableView(), {0, 1}));
  vanished->button()->tap();
  EXPECT_EQ(navigation->viewControllers().size(), 1u) << "a person no longer there opens nothing";

  auto living = std::static_pointer_cast<LMContactCell>(list->cellForRowAtIndexPath(*list->tableView(), {0, 0}));
  living->button()->tap();
  ASSERT_EQ(navigation->viewControllers().size(), 2u);
  auto card = std::dynamic_pointer_cast<platform::addressbookui::PersonViewController>(navigation->topViewController());
  ASSERT_TRUE(card);
  EXPECT_FALSE(card->allowsEditing());
  ASSERT_EQ(card->rows().size(), 1u);
  EXPECT_EQ(card->rows()[0].value, "123");
  card->tapLeftBarButton();
  EXPECT_EQ(navigation->viewControllers().size(), 1u);
}

// The person card shows the person's name over the values, and labels
// them in the app's language: in Chinese none of the address book's own
// labels or the card's properties is left an English word, in English
// none is Chinese. A label the user typed shows as typed.
TEST_F(MergeCellsTest, PersonCardShowsTheNameAndLabelsInTheAppsLanguage) {
  ab::Record ada = *book_->createPerson(local());
  ASSERT_TRUE(ada.setValue(ab::PersonProperty::FirstName, std::string("Ada")).ok());
  ASSERT_TRUE(ada.setValue(ab::PersonProperty::LastName, std::string("Lovelace")).ok());
  ab::MultiValue<std::string> phones;
  phones.add("+1 555 01101", std::string(ab::kPersonPhoneMobileLabel));
  phones.add("+1 555 01102", std::string("boat"));
  ASSERT_TRUE(ada.setValue(ab::PersonProperty::Phone, phones).ok());
  ASSERT_TRUE(book_->save().ok());

  const std::string_view labels[] = {
      ab::kHomeLabel, ab::kWorkLabel, ab::kOtherLabel, ab::kPersonPhoneMobileLabel, ab::kPersonPhoneMainLabel,
      ab::kPersonPhoneHomeFAXLabel, ab::kPersonPhoneWorkFAXLabel, ab::kPersonPhoneOtherFAXLabel,
      ab::kPersonPhonePagerLabel, ab::kPersonHomePageLabel, ab::kPersonAnniversaryLabel, ab::kPersonFatherLabel,
      ab::kPersonMotherLabel, ab::kPersonParentLabel, ab::kPersonBrotherLabel, ab::kPersonSisterLabel,
      ab::kPersonChildLabel, ab::kPersonFriendLabel, ab::kPersonSpouseLabel, ab::kPersonPartnerLabel,
      ab::kPersonAssistantLabel, ab::kPersonManagerLabel};
  const auto ascii = [](const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  };
  for (const bool chinese : {false, true}) {
    platform::UserDefaults::standard().registerDefaults(
        {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({chinese ? "zh-Hans" : "en"})}});
    ui::resetLocalizedStringsForTesting();
    std::vector<std::string> texts;
    for (auto label : labels) {
      texts.push_back(platform::addressbookui::PersonViewController::labelText(std::string(label),
                                                                              ab::PersonProperty::Phone));
    }
    for (auto property : LMPersonCard::displayedProperties()) {
      texts.push_back(platform::addressbookui::PersonViewController::labelText(std::nullopt, property));
    }
    for (const auto& text : texts) EXPECT_EQ(ascii(text), !chinese) << text;

    std::shared_ptr<ab::AddressBook> held;
    auto card = LMPersonCard::personViewController(ada.id(), held, [] {});
    ASSERT_TRUE(card);
    card->loadViewIfNeeded();
    EXPECT_EQ(card->nameLabel()->text(), ada.compositeName().value_or(""));
    EXPECT_NE(card->nameLabel()->text(), "");
    ASSERT_EQ(card->rows().size(), 2u);
    EXPECT_EQ(card->rows()[0].label, texts[3]);
    EXPECT_EQ(card->rows()[1].label, "boat");
  }
  ui::resetLocalizedStringsForTesting();
}

TEST_F(MergeCellsTest, GroupCellKeepsAndLeavesOutContactsAndShowsAMergedGroupAsOneTile) {
  auto group = std::make_shared<LMMergeManagedObject>(std::vector<LMContact>{
      cellsTestContact(1, "A"), cellsTestContact(2, "A"), cellsTestContact(3, "A")});
  auto cell = LMMergeContactCell::create("mergeContactCell");
  cell->setFrame({0, 0, 320, 51 * 3 + 93});
  cell->setMergeObject(group);
  EXPECT_TRUE(cell->mergeButton()->isEnabled());
  cell->selectButtons()[1]->tap();
  cell->selectButtons()[2]->tap();
  EXPECT_EQ(group->ignoreContactIDs, (std::set<std::int32_t>{2, 3}));
  EXPECT_FALSE(cell->mergeButton()->isEnabled());
  cell->selectButtons()[2]->tap();
  EXPECT_TRUE(cell->mergeButton()->isEnabled());

  // Grey lines every 51 points between the tiles.
  cell->layoutSubviews();
  std::vector<double> tops;
  for (const auto& tile : cell->contactButtons()) tops.push_back(tile->frame().y);
  EXPECT_EQ(tops, (std::vector<double>{1, 52, 103}));
  EXPECT_EQ(cell->bgView()->frame().height, 1 + 3 * 51 + 46 + 46);

  // A cell that showed three contacts, reused for a merged group.
  group->isMerged = true;
  group->finalContact = cellsTestContact(1, "Merged");
  cell->setMergeObject(group);
  ASSERT_EQ(cell->contactButtons().size(), 1u);
  EXPECT_EQ(cell->selectButtons().size(), 1u);
  EXPECT_FALSE(cell->contactButtons()[0]->mergedLabel()->isHidden());
  EXPECT_TRUE(cell->selectButtons()[0]->isHidden());
  EXPECT_TRUE(cell->mergeButton()->isHidden());
  EXPECT_TRUE(cell->cancelButton()->isHidden());
  auto delegate = std::make_shared<LMMergeContactCellDelegate>();
  std::optional<std::string> seen;
  delegate->didSelectMergeContact = [&](const LMContact& c) { seen = c.name; };
  cell->setDelegate(delegate);
  cell->contactButtons()[0]->tap();
  EXPECT_EQ(seen, "Merged");
}

TEST_F(MergeCellsTest, TileTextsFollowNamePhonesAndEmails) {
  struct Case {
    LMContact contact;
    std::string name;
    std::string line;
  };
  std::vector<Case> cases = {
      {cellsTestContact(1, "Ann", {"1", "2", "3"}, {"a@x"}), "Ann", "1 / 2"},
      {cellsTestContact(1, "Ann", {"", "2"}, {"a@x", "b@x"}), "Ann", "a@x / b@x"},
      {cellsTestContact(1, std::nullopt, {"1"}, {"a@x"}), "a@x", "1"},
      {cellsTestContact(1, "", {"1", "2"}), "1", ""},
      {cellsTestContact(1, std::nullopt), L("无名称"), ""},
  };
  auto tile = LMContactButton::create();
  tile->setFrame({0, 0, 280, 50});
  for (const auto& c : cases) {
    tile->setContact(c.contact, kLMMergeTypeName);
    tile->layoutSubviews();
    EXPECT_EQ(tile->nameLabel()->text(), c.name);
    EXPECT_EQ(tile->mergePropertyLabel()->text(), c.line);
    EXPECT_EQ(tile->mergePropertyLabel()->isHidden(), c.line.empty());
    EXPECT_EQ(tile->nameLabel()->frame().height, c.line.empty() ? 50 : 25);
  }
}

}  // namespace
}  // namespace lumora
