// Fixture of the contact sync against the local cloud over real HTTP: the
// signed-request fixture's cloud and "lumora" session, an authorised address
// book in the test's app home, a contact sync adapter with a delegate that
// records every report, and helpers that make contacts on either side and
// read both sides back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "SignedRequestFixture.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/dispatch/Clock.h"
#include "platform/addressbook/AddressBook.h"

namespace contactsynctest {

using platform::Json;
namespace ab = platform::addressbook;

// A contact with a given and family name, and a mobile number when given.
lumora::LMContact contactNamed(const std::string& given, const std::string& family,
                               const std::optional<std::string>& phone = std::nullopt);

// What the delegate heard during one run.
struct Reports {
  std::vector<std::string> calls;   // hook names in order
  std::vector<std::int32_t> progress;
  std::map<std::string, std::vector<std::uint64_t>> counts;  // "localContacts", "lumoraGroups"...
  std::optional<platform::Error> failure;
  bool finished = false;
};

class RecordingDelegate : public lumora::LMContactSyncAdapterDelegate {
 public:
  RecordingDelegate();
  Reports take();

 private:
  std::mutex mutex_;
  Reports reports_;
};

class ContactSyncCloudTest : public signedtest::SignedRequestCloudTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A live cloud record made as another device would; its id.
  std::int64_t addCloudContact(const lumora::LMContact& contact);
  std::int64_t addCloudGroup(const std::string& title);
  // The cloud's live contacts by display name.
  std::map<std::string, Json> cloudContacts();

  // A person saved in the synced (local) source; its record id.
  ab::RecordId addPerson(const lumora::LMContact& contact);
  // The book's file emptied, as a new book put in its place: the next
  // people made take the record ids from the first on.
  void replaceBookWithAnEmptyOne();
  // The people of the synced source by composite name (a fresh handle).
  std::map<std::string, lumora::LMContact> people();

  // Loads the cloud's changes and runs one full sync off the main thread;
  // the run's outcome (load failures included) and what the delegate heard.
  platform::Status sync();
  Reports lastReports;

  // Calls of a signed path since the journal was last cleared.
  std::size_t callsTo(const std::string& path) const { return calls(path).size(); }
  std::string listPath() const { return std::string("/lum/contact/v3/user/") + signedtest::kUserIdText + "/full"; }
  std::string batchPath() const { return listPath() + "/batch"; }

  // Clock time: batch sends' minimum time passes at once, and every sync
  // starts and ends a second after what came before it, so edits made
  // between syncs are later than the sync's own saves.
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock_{clock_};
  std::shared_ptr<lumora::LMContactSyncAdapter> contacts_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<ab::AddressBook> book_;
};

}  // namespace contactsynctest
