// The source import screen: the other sources listed and ticked, the empty
// tick list, the import into the synced source with its added count, and the
// outcomes of linked people and of a source that fails first.
#include <gtest/gtest.h>

#include "platform/storage/UserDefaults.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"
#include "screens/contacts/ContactsScreensFixture.h"
#include "screens/contacts/LMMergeSourceTableViewController.h"

namespace lumora {
namespace {

using namespace contactsscreenstest;

class SourceMergeScreenTest : public ContactsScreensFixture {
 protected:
  std::shared_ptr<LMMergeSourceTableViewController> open() {
    auto screen = std::make_shared<LMMergeSourceTableViewController>();
    navigation_ = ui::NavigationController::withRoot(screen);
    navigation_->loadViewIfNeeded();
    screen->loadViewIfNeeded();
    return screen;
  }
  std::shared_ptr<LMMergeSourceCell> cell(LMMergeSourceTableViewController& screen, int row) {
    return std::static_pointer_cast<LMMergeSourceCell>(screen.cellForRowAtIndexPath(*screen.tableView(), {0, row}));
  }
  std::size_t localCount() {
    book_->revert();
    return book_->peopleInSource(local()).size();
  }
  std::shared_ptr<ui::NavigationController> navigation_;
};

TEST_F(SourceMergeScreenTest, ListsTickedSourcesAndImportsTheTickedOnes) {
  people({{"Own", "One"}});
  EXPECT_EQ(open()->numLabel()->text(), L("No Sources to Merge"));
  people({{"A", "a"}, {"B", "b"}, {"C", "c"}}, addSource("Work"));
  people({{"D", "d"}, {"E", "e"}, {"F", "f"}, {"G", "g"}}, addSource("Home"));
  addSource("Empty");
  auto screen = open();
  ASSERT_TRUE(screen->sources());
  ASSERT_EQ(screen->sources()->size(), 2u);
  EXPECT_EQ(screen->numberOfRowsInSection(*screen->tableView(), 0), 2);
  EXPECT_EQ(*screen->heightForRowAtIndexPath(*screen->tableView(), {0, 0}), 51);
  EXPECT_EQ(*screen->heightForRowAtIndexPath(*screen->tableView(), {0, 1}), 52);
  EXPECT_EQ(cell(*screen, 0)->detailTextLabel()->text(),
            ui::stringWithFormat(L("Merge Source Info Format"), {std::int64_t{3}}));
  EXPECT_TRUE(cell(*screen, 0)->isSelect() && cell(*screen, 1)->isSelect());

  // The contacts of one source, and back.
  cell(*screen, 1)->checkButton()->tap();
  auto list = std::dynamic_pointer_cast<LMContactsTableViewController>(navigation_->topViewController());
  ASSERT_TRUE(list);
  EXPECT_EQ(list->contacts.size(), 4u);
  list->tapLeftBarButton();
  EXPECT_EQ(navigation_->topViewController(), screen);

  cell(*screen, 0)->button()->tap();
  cell(*screen, 1)->button()->tap();
  screen->mergeSources();
  EXPECT_EQ(takeAlert().first, L("No Sources to Merge"));
  cell(*screen, 0)->button()->tap();
  cell(*screen, 1)->button()->tap();
  screen->mergeSources();
  pump();
  EXPECT_FALSE(LMProgressHUD::sharedHUD().window());
  EXPECT_EQ(takeAlert(), (std::pair{L("Merge Source Success"),
                                    ui::stringWithFormat(L("Merge Source Success Format"), {std::int64_t{7}})}));
  EXPECT_EQ(localCount(), 8u);
}

TEST_F(SourceMergeScreenTest, TheLastOfSixtyPeopleScrollsWhollyIntoViewOnEveryDevice) {
  std::vector<PersonSpec> sixty;
  for (int i = 0; i < 60; ++i) sixty.push_back({"Person", std::to_string(100 + i)});
  people(sixty, addSource("Work"));
  for (const char* device : {"320x480", "320x568", "375x667", "414x736"}) {
    SCOPED_TRACE(device);
    auto& screen = ui::Screen::main();
    screen.resetForTesting();
    screen.setProfile(*ui::DeviceProfile::named(device));
    auto window = std::make_shared<ui::Window>(screen.bounds());
    auto sources = open();
    window->setRootViewController(navigation_);
    window->makeKeyAndVisible();
    cell(*sources, 0)->checkButton()->tap();
    auto list = std::dynamic_pointer_cast<LMContactsTableViewController>(navigation_->topViewController());
    ASSERT_TRUE(list);
    window->layoutIfNeeded();
    auto table = list->tableView();
    ASSERT_EQ(table->numberOfRowsInSection(0), 60);
    const ui::Point middle = table->convertPointToView({table->bounds().midX(), table->bounds().midY()}, nullptr);
    for (int notch = 0; notch < 200 && screen.scrollWheel(middle, 0, 40); ++notch) window->layoutIfNeeded();
    const ui::Rect last = table->rectForRowAtIndexPath({0, 59});
    const ui::Point top = table->convertPointToView(last.origin(), nullptr);
    EXPECT_GE(top.y, navigation_->navigationBar()->frame().maxY());
    EXPECT_LE(top.y + last.height, window->bounds().maxY()) << "the 60th person ends below the window";
  }
  ui::Screen::main().resetForTesting();
}

TEST_F(SourceMergeScreenTest, LinkedPeopleAddNothingAndAFailedFirstSourceIsStillReported) {
  auto own = people({{"Own", "One"}});
  auto linked = people({{"Own", "One"}}, addSource("Linked"));
  ASSERT_TRUE(book_->linkPeople(book_->personWithId(own[0]), book_->personWithId(linked[0])).ok());
  ASSERT_TRUE(book_->save().ok());
  auto screen = open();
  screen->mergeSources();
  pump();
  EXPECT_EQ(takeAlert(), (std::pair{L("Merge Source Success"), std::string()}));

  people({{"New", "Person"}}, addSource("Later"));
  screen = open();
  ASSERT_EQ(screen->sources()->size(), 2u);
  int creations = 0;
  ab::AddressBook::setWriteFault([&creations](const ab::WriteAttempt& attempt) -> std::optional<platform::Error> {
    if (attempt.operation != ab::WriteOperation::CreateRecord && attempt.operation != ab::WriteOperation::SetValue) {
      return std::nullopt;
    }
    if (creations++ == 0) return platform::Error(ab::kErrorDomain, 0);
    return std::nullopt;
  });
  screen->mergeSources();
  pump();
  ab::AddressBook::setWriteFault(nullptr);
  EXPECT_EQ(takeAlert().first, L("Merge Source Fail"));
}

// Counts of one read as one in English, and in English too in a language
// with no texts of its own; the Chinese forms do not change.
TEST_F(SourceMergeScreenTest, CountsOfOneReadAsOneInEveryLanguage) {
  people({{"Own", "One"}});
  people({{"A", "a"}}, addSource("Work"));
  std::vector<std::string> english;
  for (const char* language : {"en", "de", "fr", "zh-Hans"}) {
    SCOPED_TRACE(language);
    const bool chinese = std::string(language) == "zh-Hans";
    platform::UserDefaults::standard().registerDefaults(
        {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({language})}});
    ui::resetLocalizedStringsForTesting();
    auto screen = open();
    const std::string info = cell(*screen, 0)->detailTextLabel()->text();
    cell(*screen, 0)->checkButton()->tap();
    auto list = std::dynamic_pointer_cast<LMContactsTableViewController>(navigation_->topViewController());
    ASSERT_TRUE(list);
    ASSERT_EQ(list->numberOfRowsInSection(*list->tableView(), 0), 1);
    const std::vector<std::pair<const char*, std::string>> counts = {
        {"Merge Sources Prompt Format", screen->numLabel()->text()},
        {"Merge Source Info Format", info},
        {"Contacts Format", list->numLabel()->text()}};
    std::vector<std::string> texts;
    for (const auto& [key, text] : counts) {
      EXPECT_EQ(text == ui::stringWithFormat(L(key), {std::int64_t{1}}), chinese) << key << ": " << text;
      texts.push_back(text);
    }
    if (english.empty()) english = texts;
    if (!chinese) {
      EXPECT_EQ(texts, english);
    }
  }
  platform::UserDefaults::standard().registerDefaults(
      {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({"en"})}});
  ui::resetLocalizedStringsForTesting();
}

}  // namespace
}  // namespace lumora
