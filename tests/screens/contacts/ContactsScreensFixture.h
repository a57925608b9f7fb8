// The contacts screens under test: a fresh app home with an authorised
// address book, the manual clock, people made in a source and saved, and a
// pump that runs the main queue, the clock (HUD fades) and the contact
// adapter's task queue until everything queued has run.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/ViewController.h"
#include "screens/common/LMProgressHUD.h"
#include "support/TestHome.h"

namespace contactsscreenstest {

namespace ab = platform::addressbook;
namespace ui = platform::ui;

struct PersonSpec {
  std::string first;
  std::string last;
  std::vector<std::string> phones = {};
  std::vector<std::string> emails = {};
  platform::Bytes photo = {};
};

class ContactsScreensFixture : public ::testing::Test {
 protected:
  ContactsScreensFixture() {
    EXPECT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
    book_ = *ab::AddressBook::create();
  }
  ~ContactsScreensFixture() override {
    pump();
    ab::AddressBook::setWriteFault(nullptr);
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    ui::AlertView::resetForTesting();
    platform::Application::shared().resetForTesting();
  }

  ab::Record local() { return book_->sourceWithId(ab::kLocalSourceId); }
  ab::Record addSource(const std::string& name) {
    auto source = book_->addSource(name, ab::SourceKind::CardDAV);
    EXPECT_TRUE(book_->save().ok());
    return *source;
  }
  // People made in `source` (the local one by default) and saved; their ids.
  std::vector<std::int32_t> people(const std::vector<PersonSpec>& specs, ab::Record source = {}) {
    std::vector<ab::Record> made;
    for (const auto& spec : specs) {
      ab::Record p = *book_->createPerson(source ? source : local());
      if (!spec.first.empty()) {
        EXPECT_TRUE(p.setValue(ab::PersonProperty::FirstName, spec.first).ok());
      }
      if (!spec.last.empty()) {
        EXPECT_TRUE(p.setValue(ab::PersonProperty::LastName, spec.last).ok());
      }
      for (auto [property, values] : {std::pair{ab::PersonProperty::Phone, spec.phones},
                                      std::pair{ab::PersonProperty::Email, spec.emails}}) {
        ab::MultiValue<std::string> list;
        for (const auto& v : values) list.add(v);
        if (!values.empty()) {
          EXPECT_TRUE(p.setValue(property, list).ok());
        }
      }
      if (!spec.photo.empty()) {
        EXPECT_TRUE(p.setImageData(spec.photo).ok());
      }
      made.push_back(p);
    }
    EXPECT_TRUE(book_->save().ok());
    std::vector<std::int32_t> ids;
    for (const auto& p : made) ids.push_back(p.id());
    return ids;
  }
  std::size_t personCount() {
    book_->revert();
    return book_->personCount();
  }

  // Runs everything queued: main queue, clock timers, the adapter's tasks.
  void pump() {
    auto adapter = lumora::LMContactSyncAdapter::sharedAdapter();
    for (int i = 0; i < 40; ++i) {
      clock_->advance(platform::seconds(0.1));
      platform::MainQueue::main().runUntilIdle();
      adapter->taskOperationQueue().waitUntilAllOperationsAreFinished();
      platform::MainQueue::main().runUntilIdle();
    }
  }

  // The one alert on screen, pressed away; its title and message.
  std::pair<std::string, std::string> takeAlert() {
    auto alerts = ui::AlertView::visibleAlerts();
    EXPECT_EQ(alerts.size(), 1u);
    if (alerts.empty()) return {};
    std::pair<std::string, std::string> shown{alerts.back()->title(), alerts.back()->message()};
    alerts.back()->pressButtonAtIndex(0);
    return shown;
  }

  static std::string L(const char* key) { return ui::localizedString(key); }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::shared_ptr<ab::AddressBook> book_;
};

}  // namespace contactsscreenstest
