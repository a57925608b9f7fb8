// Merging the people of one address-book source into another: by links, by
// equality, by absence of conflict, new people, photos and failures.
#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/model/RecordStoreAddressBookSupport.h"
#include "utils/LMErrors.h"
#include "platform/addressbook/Labels.h"

namespace {

namespace ab = platform::addressbook;
using lumora::LMManagedRecordContext;
using P = ab::PersonProperty;

struct SourceMergeOutcome {
  int calls = 0;
  std::size_t matched = 0;
  std::size_t created = 0;
  std::optional<platform::Error> error;
};

class SourceMerge : public recordstoretest::AddressBookFixture {
 protected:
  SourceMerge() : card_(addSource("Card")) {}

  // A person with a first and last name and phone numbers (unsaved).
  ab::Record named(const ab::Record& source, const std::string& first, const std::string& last,
                   std::vector<std::string> phones = {}) {
    ab::Record p = person(source, first);
    EXPECT_TRUE(p.setValue(P::LastName, last).ok());
    if (!phones.empty()) {
      ab::MultiValue<std::string> list;
      for (auto& phone : phones) list.add(phone, std::string(ab::kPersonPhoneMobileLabel));
      EXPECT_TRUE(p.setValue(P::Phone, list).ok());
    }
    return p;
  }

  SourceMergeOutcome merge(const ab::Record& target, const ab::Record& other) {
    SourceMergeOutcome outcome;
    LMManagedRecordContext::mergeContactsSource(
        target, other, book_.get(),
        [&outcome](std::size_t matched, std::size_t created, const platform::Status& result) {
          ++outcome.calls;
          outcome.matched = matched;
          outcome.created = created;
          if (!result.ok()) outcome.error = result.error();
        });
    return outcome;
  }

  std::vector<std::string> phonesOf(const ab::Record& p) {
    std::vector<std::string> numbers;
    if (auto list = p.multiStringValue(P::Phone)) numbers = list->values();
    return numbers;
  }

  ab::Record card_;
};

TEST_F(SourceMerge, LinkedPersonIsMergedIntoItsTargetPerson) {
  ab::Record target = named(card_, "Ann", "Lee", {"111"});
  ab::Record linked = named(local(), "Annie", "Li", {"222"});
  ASSERT_TRUE(book_->save().ok());
  ASSERT_TRUE(book_->linkPeople(linked, target).ok());
  ASSERT_TRUE(book_->save().ok());

  SourceMergeOutcome outcome = merge(card_, local());
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.matched, 1u);
  EXPECT_EQ(outcome.created, 0u);
  EXPECT_FALSE(outcome.error.has_value());
  ASSERT_EQ(book_->peopleInSource(card_).size(), 1u);
  ab::Record merged = book_->peopleInSource(card_)[0];
  EXPECT_EQ(phonesOf(merged), (std::vector<std::string>{"222", "111"}));
  EXPECT_EQ(book_->peopleInSource(local()).size(), 1u);  // left in place
}

TEST_F(SourceMerge, EqualPersonIsAlreadyPresent) {
  named(card_, "Ann", "Lee", {"111"});
  named(local(), "Ann", "Lee", {"1-1 1"});
  ASSERT_TRUE(book_->save().ok());
  failWrites(nullptr);

  SourceMergeOutcome outcome = merge(card_, local());
  EXPECT_EQ(outcome.matched, 0u);
  EXPECT_EQ(outcome.created, 0u);
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(saves_, 0);  // nothing was written
  EXPECT_EQ(book_->peopleInSource(card_).size(), 1u);
}

TEST_F(SourceMerge, PersonWithoutConflictIsMergedIntoTheFirstSuchTarget) {
  named(card_, "Ann", "Lee", {"111"});
  named(local(), "Ann", "Lee", {"111", "333"});  // more numbers: no conflict
  ASSERT_TRUE(book_->save().ok());

  SourceMergeOutcome outcome = merge(card_, local());
  EXPECT_EQ(outcome.matched, 0u);  // only linked cards are counted
  EXPECT_EQ(outcome.created, 0u);
  ASSERT_EQ(book_->peopleInSource(card_).size(), 1u);
  EXPECT_EQ(phonesOf(book_->peopleInSource(card_)[0]), (std::vector<std::string>{"111", "333"}));
}

TEST_F(SourceMerge, UnmatchedPersonIsCreatedWithItsPhoto) {
  named(card_, "Ann", "Lee", {"111"});
  ab::Record bob = named(local(), "Bob", "Stone", {"999"});
  ASSERT_TRUE(bob.setImageData(platform::Bytes(1000, 7)).ok());
  ASSERT_TRUE(book_->save().ok());

  SourceMergeOutcome outcome = merge(card_, local());
  EXPECT_EQ(outcome.created, 1u);
  EXPECT_EQ(outcome.matched, 0u);
  auto people = book_->peopleInSource(card_);
  ASSERT_EQ(people.size(), 2u);
  ab::Record copy = people[1];
  EXPECT_EQ(copy.stringValue(P::FirstName), "Bob");
  EXPECT_EQ(phonesOf(copy), (std::vector<std::string>{"999"}));
  EXPECT_EQ(copy.imageData(), platform::Bytes(1000, 7));
}

TEST_F(SourceMerge, EachTargetIsMatchedAtMostOnce) {
  named(card_, "Ann", "Lee", {"111"});
  named(local(), "Ann", "Lee", {"111"});
  named(local(), "Ann", "Lee", {"111"});
  ASSERT_TRUE(book_->save().ok());

  SourceMergeOutcome outcome = merge(card_, local());
  EXPECT_EQ(outcome.created, 1u);  // one already present, one new
  EXPECT_EQ(book_->peopleInSource(card_).size(), 2u);
}

TEST_F(SourceMerge, MissingSourceEndsWithAnError) {
  for (const auto& [target, other] : {std::pair{ab::Record(), local()}, {card_, ab::Record()}}) {
    SourceMergeOutcome outcome = merge(target, other);
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->domain(), lumora::kLMLocalErrorDomain);
    EXPECT_EQ(outcome.error->code(), lumora::kLMLocalErrorInvalidAddressBookSource);
    EXPECT_EQ(outcome.error->userInfo().value("reason", ""), "Invalid ABAddressBook Source");
    EXPECT_EQ(outcome.matched + outcome.created, 0u);
  }
}

TEST_F(SourceMerge, RefusedCreationsAreSkippedAndNotCounted) {
  named(local(), "Bob", "Stone");
  named(local(), "Cy", "Young");
  ASSERT_TRUE(book_->save().ok());
  failWrites([](const ab::WriteAttempt& a) -> std::optional<platform::Error> {
    if (a.operation == ab::WriteOperation::CreateRecord) return storeError();
    return std::nullopt;
  });
  SourceMergeOutcome outcome = merge(card_, local());
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.created, 0u);
  EXPECT_TRUE(book_->peopleInSource(card_).empty());
}

TEST_F(SourceMerge, WriteOrSaveFailureEndsTheMergeWithTheError) {
  named(local(), "Bob", "Stone");
  ASSERT_TRUE(book_->save().ok());

  failWrites([](const ab::WriteAttempt& a) -> std::optional<platform::Error> {
    if (a.property == P::FirstName) return storeError();
    return std::nullopt;
  });
  SourceMergeOutcome writeFailed = merge(card_, local());
  EXPECT_EQ(writeFailed.calls, 1);
  ASSERT_TRUE(writeFailed.error.has_value());
  EXPECT_EQ(writeFailed.error->code(), lumora::kLMLocalErrorAddressBookNotAllowed);
  EXPECT_EQ(writeFailed.created, 0u);
  book_->revert();

  failWrites([](const ab::WriteAttempt& a) -> std::optional<platform::Error> {
    if (a.operation == ab::WriteOperation::Save) return storeError();
    return std::nullopt;
  });
  SourceMergeOutcome saveFailed = merge(card_, local());
  ASSERT_TRUE(saveFailed.error.has_value());
  EXPECT_EQ(saveFailed.created, 0u);
  EXPECT_TRUE(book_->peopleInSource(card_).empty());  // discarded by the revert
  EXPECT_FALSE(book_->hasUnsavedChanges());
}

TEST_F(SourceMerge, LargePhotosAreSavedInBatches) {
  const platform::Bytes photo(2 * 1024 * 1024, 1);  // three of them pass 5 MiB
  for (int i = 0; i < 4; ++i) {
    ab::Record p = named(local(), "P" + std::to_string(i), "Q");
    ASSERT_TRUE(p.setImageData(photo).ok());
  }
  ASSERT_TRUE(book_->save().ok());
  std::vector<std::size_t> peopleAtSave;
  failWrites([&](const ab::WriteAttempt& a) -> std::optional<platform::Error> {
    if (a.operation == ab::WriteOperation::Save) {
      peopleAtSave.push_back(book_->peopleInSource(card_).size());
    }
    return std::nullopt;
  });

  SourceMergeOutcome outcome = merge(card_, local());
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.created, 4u);
  EXPECT_EQ(peopleAtSave, (std::vector<std::size_t>{3, 4}));
  auto people = book_->peopleInSource(card_);
  ASSERT_EQ(people.size(), 4u);
  for (const auto& p : people) EXPECT_EQ(p.imageData(), photo);
}

}  // namespace
