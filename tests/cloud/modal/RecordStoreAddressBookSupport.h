// Shared helpers of the record store's address-book tests: an authorised
// address book in a fresh app home, people in given sources, and a write
// fault hook that counts saves.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "cloud/modal/RecordStoreTestSupport.h"
#include "platform/Clock.h"
#include "platform/addressbook/AddressBook.h"

namespace recordstoretest {

class AddressBookFixture : public StoreFixture {
 protected:
  AddressBookFixture() {
    EXPECT_TRUE(platform::addressbook::AddressBook::setAuthorizationStatus(
        platform::addressbook::AuthorizationStatus::Authorized));
    auto created = platform::addressbook::AddressBook::create();
    if (created.ok()) book_ = *created;
  }
  ~AddressBookFixture() override { platform::addressbook::AddressBook::setWriteFault(nullptr); }

  platform::addressbook::Record local() { return book_->sourceWithId(platform::addressbook::kLocalSourceId); }

  // A source added and saved, as when the user adds an account.
  platform::addressbook::Record addSource(const std::string& name,
                                          platform::addressbook::SourceKind kind =
                                              platform::addressbook::SourceKind::CardDAV) {
    auto source = book_->addSource(name, kind);
    EXPECT_TRUE(source.ok());
    EXPECT_TRUE(book_->save().ok());
    return source.ok() ? *source : platform::addressbook::Record();
  }

  // A person with a first name in `source` (unsaved).
  platform::addressbook::Record person(const platform::addressbook::Record& source,
                                       const std::string& first) {
    auto created = book_->createPerson(source);
    EXPECT_TRUE(created.ok());
    if (!created.ok()) return platform::addressbook::Record();
    EXPECT_TRUE(created->setValue(platform::addressbook::PersonProperty::FirstName, first).ok());
    return *created;
  }

  // Fails the next matching writes with `error` (nullopt lets them go on);
  // counts the saves attempted.
  void failWrites(std::function<std::optional<platform::Error>(
                      const platform::addressbook::WriteAttempt&)> decide) {
    platform::addressbook::AddressBook::setWriteFault(
        [this, decide](const platform::addressbook::WriteAttempt& attempt)
            -> std::optional<platform::Error> {
          if (attempt.operation == platform::addressbook::WriteOperation::Save) ++saves_;
          return decide ? decide(attempt) : std::nullopt;
        });
  }

  static platform::Error storeError() {
    return platform::Error(platform::addressbook::kErrorDomain,
                           platform::addressbook::kOperationNotPermittedByStoreError);
  }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock_{clock_};
  std::shared_ptr<platform::addressbook::AddressBook> book_;
  int saves_ = 0;
};

}  // namespace recordstoretest
