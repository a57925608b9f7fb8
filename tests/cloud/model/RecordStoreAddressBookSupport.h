// Shared helpers of the address-book tests of records and the record store:
// an authorised address book in a fresh app home, people in given sources, a
// write fault hook that counts saves, and builders of dates and labelled
// values.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cloud/model/RecordStoreTestSupport.h"
#include "platform/dispatch/Clock.h"
#include "platform/addressbook/AddressBook.h"

namespace recordstoretest {

// Midnight UTC of a day (plus `hour` hours) as an address-book date.
inline platform::addressbook::Date at(int y, unsigned m, unsigned d, int hour = 0) {
  return platform::addressbook::Date(
      std::chrono::sys_days(std::chrono::year(y) / m / d).time_since_epoch() + std::chrono::hours(hour));
}

// A label constant as an entry label.
inline std::optional<std::string> label(std::string_view constant) { return std::string(constant); }

// A multi-value of (label, value) entries, in order.
template <class T>
platform::addressbook::MultiValue<T> multi(std::vector<std::pair<std::optional<std::string>, T>> entries) {
  platform::addressbook::MultiValue<T> values;
  for (auto& [entryLabel, value] : entries) values.add(std::move(value), std::move(entryLabel));
  return values;
}

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
