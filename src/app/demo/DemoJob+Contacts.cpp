// The demo's contact sync: a seeded address book synced with the demo
// user's cloud contacts, with a progress bar, and the counts of each way.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "app/demo/DemoJob.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/dispatch/Clock.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMLastContactSync.h"
#include "utils/LMLogUtil.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;
namespace ui = platform::ui;

// The demo's phone: 5 people the cloud has too (as the local cloud's demo
// seed made them), and 60 of its own.
constexpr int kSharedPeople = 5;
constexpr const char* kSharedGiven[] = {"Ada", "Alan", "Barbara", "Claude", "Donald"};
constexpr const char* kOwnGiven[] = {"Anita", "Bjarne", "Brian", "Dennis", "Guido", "Ivan",
                                     "James", "Larry", "Linus", "Rob", "Shafi", "Whitfield"};
constexpr const char* kOwnFamily[] = {"Borg", "Hopper", "Knuth", "Liskov", "Thompson"};

LMContact demoPerson(int i) {
  LMContact contact;
  if (i < kSharedPeople) {
    contact.givenName = kSharedGiven[i];
    contact.familyName = "Allen";
    contact.phoneNumberArray = platform::Json::array(
        {platform::Json{{"type", "mobile"}, {"value", "+1 555 01" + std::to_string(100 + i)}}});
    if (i % 3 == 0) {
      contact.emailArray = platform::Json::array(
          {platform::Json{{"type", "work"}, {"value", *contact.givenName + ".Allen@example.com"}}});
    }
    return contact;
  }
  const int own = i - kSharedPeople;
  contact.givenName = kOwnGiven[own % 12];
  contact.familyName = kOwnFamily[own / 12];
  contact.phoneNumberArray = platform::Json::array(
      {platform::Json{{"type", "home"}, {"value", "+1 555 02" + std::to_string(100 + own)}}});
  return contact;
}

// The pictures of the first few of the phone's own people: one-pixel GIFs
// of different colours.
constexpr int kPictured = 3;

platform::Bytes demoPicture(int i) {
  platform::Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0};
  const std::uint8_t colour = static_cast<std::uint8_t>(0x40 * (i + 1));
  gif.insert(gif.end(), {colour, static_cast<std::uint8_t>(0xff - colour), 0x80, 0, 0, 0});
  gif.insert(gif.end(), {0x2c, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b});
  return gif;
}

// "1 person", "2 people", as the window counts.
std::string peopleText(std::size_t count) {
  return reportCount("Demo People Format", {static_cast<std::int64_t>(count)});
}

using Counts = std::vector<std::uint64_t>;

std::string counts(const Counts& c) {
  if (c.size() != 3) return "none";
  return std::to_string(c[0]) + " added, " + std::to_string(c[1]) + " changed, " + std::to_string(c[2]) +
         " deleted";
}

// Hears the adapter's reports (on the main thread) and draws the progress:
// a bar redrawn in place on a terminal, a line per quarter otherwise. Each
// report is a move of the sync, for the step's limit on silence.
class DemoReports : public LMContactSyncAdapterDelegate {
 public:
  DemoReports(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {
    didAdapterSyncProcess = [this](std::int32_t process) {
      ++moves;
      progress(process);
    };
    didAdapterSynchronizeLocalContacts = keep(down);
    didAdapterSynchronizeLumoraContacts = keep(up);
    didAdapterSynchronizeLocalGroups = keep(groupsDown);
    didAdapterSynchronizeLumoraGroups = keep(groupsUp);
    didAdapterFailSynchronize = [this](const platform::Error& error) { failure = error; };
  }

  void start(std::uint64_t batches) {
    batches_ = std::max<std::uint64_t>(batches, 1);
    sent_ = 0;
    photosSent = photosReceived = 0;
    shown_ = -1;
    up = down = groupsUp = groupsDown = {};
    failure.reset();
  }
  void finish() {
    if (terminal_ && shown_ >= 0) std::fputc('\n', out_);
    std::fflush(out_);
  }

  std::atomic<std::uint64_t> moves{0};
  Counts up, down, groupsUp, groupsDown;
  std::uint64_t photosSent = 0;
  std::uint64_t photosReceived = 0;
  std::optional<platform::Error> failure;

 private:
  std::function<void(std::uint64_t, std::uint64_t, std::uint64_t)> keep(Counts& into) {
    return [&into](std::uint64_t add, std::uint64_t modify, std::uint64_t remove) { into = {add, modify, remove}; };
  }

  void progress(std::int32_t process) {
    switch (process) {
      case kLMSyncProcessBegin:
        draw(2, "starting");
        break;
      case kLMSyncProcessPushBatch:
        ++sent_;
        draw(5 + static_cast<int>(75 * std::min(sent_, batches_) / batches_),
             "sending changes, request " + std::to_string(sent_) + " of " + std::to_string(batches_));
        break;
      case kLMSyncProcessCloudApplied:
        draw(90, "cloud changes written");
        break;
      case kLMSyncProcessSaved:
        draw(100, "saved");
        break;
      case kLMSyncProcessPhotoData:
        ++photosSent;
        break;
      case kLMSyncProcessPhotoDownloaded:
        ++photosReceived;
        break;
      default:
        break;
    }
  }

  void draw(int percent, const std::string& what) {
    if (terminal_) {
      constexpr int kWidth = 30;
      const int filled = kWidth * percent / 100;
      std::fprintf(out_, "\r    [%s%s] %3d%%  %-40s", std::string(filled, '#').c_str(),
                   std::string(kWidth - filled, '.').c_str(), percent, what.c_str());
      std::fflush(out_);
      shown_ = percent;
      return;
    }
    if (percent / 25 == shown_ / 25 && shown_ >= 0) return;
    shown_ = percent;
    std::fprintf(out_, "    %3d%%  %s\n", percent, what.c_str());
  }

  std::FILE* out_;
  bool terminal_;
  std::uint64_t batches_ = 1;
  std::uint64_t sent_ = 0;
  int shown_ = -1;
};

}  // namespace

bool DemoJob::seedAddressBook() {
  // A book with people in it is the user's: the demo fills an empty one only.
  step("Filling this phone's address book when it is empty: " + std::to_string(kSharedPeople + 60) + " people (" +
       std::to_string(kSharedPeople) + " of them are in the cloud already, " + std::to_string(kPictured) +
       " with a photo)");
  // The user allows access to the contacts.
  (void)ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized);
  auto book = LMContactSyncAdapter::openAddressBook();
  if (!book) {
    failAddressBook("no access to the address book");
    return false;
  }
  const ab::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book.get());
  if (const std::size_t present = book->peopleInSource(source).size(); present > 0) {
    outcome(true, reportCount("Demo Kept People Format", {peopleText(present)}));
    return true;
  }
  for (int i = 0; i < kSharedPeople + 60; ++i) {
    auto person = book->createPerson(source);
    const bool pictured = i >= kSharedPeople && i < kSharedPeople + kPictured;
    if (!person.ok() || !demoPerson(i).mergeToLocalRecord(*person).ok() ||
        (pictured && !person->setImageData(demoPicture(i - kSharedPeople)).ok())) {
      failAddressBook("cannot add a person");
      return false;
    }
  }
  if (auto saved = book->save(); !saved.ok()) {
    failAddressBook(failureText(saved.error()));
    return false;
  }
  outcome(true, reportCount("Demo Filled Book Format", {peopleText(book->peopleInSource(source).size())}));
  return true;
}

void DemoJob::failAddressBook(const std::string& text) {
  if (!ab::AddressBook::isStoreDamaged()) {
    fail(kDemoExitLocalFailure, text);
    return;
  }
  LM_LOG_ERROR("The address book cannot be read: its file {} is damaged (the step met: {})",
               ab::AddressBook::storePath().string(), text);
  fail(kDemoExitLocalFailure, "the phone's address book cannot be read",
       "Its file " + ab::AddressBook::storePath().string() +
           " is damaged or is not an address book, so contacts cannot be synced until it is restored or moved "
           "aside (a new, empty one is made then).");
}

bool DemoJob::syncContacts(const std::string& title) {
  step(title);
  auto reports = std::make_shared<DemoReports>(out_, terminal_);
  contacts_->setDelegate(reports);
  struct Loaded {
    std::optional<platform::Error> failure;
    platform::Result<platform::Json> estimate = platform::Json();
  };
  auto loaded = std::make_shared<Loaded>();
  const bool answered = offMainWork([contacts = contacts_, loaded] {
    contacts->loadLumoraChangedRecords([] {}, [loaded](const platform::Error& error) { loaded->failure = error; });
    if (loaded->failure) return;
    auto book = LMContactSyncAdapter::openAddressBook();
    loaded->estimate =
        contacts->estimateSyncChanges(book.get(), LMManagedRecordContext::defaultSourceInAddressBook(book.get()));
  });
  if (!answered) {
    contacts_->setDelegate(nullptr);
    return false;
  }
  std::optional<platform::Error> failure = loaded->failure;
  const platform::Result<platform::Json>& estimate = loaded->estimate;
  if (!failure && !estimate.ok()) failure = estimate.error();
  if (failure) {
    contacts_->setDelegate(nullptr);
    fail(*failure);
    return false;
  }
  auto line = [](const platform::Json& c) {
    return std::to_string(c.value("add", 0)) + " added, " + std::to_string(c.value("modify", 0)) + " changed, " +
           std::to_string(c.value("delete", 0)) + " deleted";
  };
  std::fprintf(out_, "      found here: %s\n", line((*estimate)["local"]).c_str());
  std::fprintf(out_, "      found in the cloud: %s\n", line((*estimate)["lumora"]).c_str());
  const platform::Json& toSend = (*estimate)["localPredict"];
  const std::uint64_t changes = toSend.value("add", 0) + toSend.value("modify", 0) + toSend.value("delete", 0);
  const std::uint64_t batches = (changes + LMContactSyncAdapter::kBatchSize - 1) / LMContactSyncAdapter::kBatchSize;

  reports->start(batches);
  const bool synced = offMainWork([contacts = contacts_] { contacts->synchronizeAllRecords(); },
                                  [reports] { return reports->moves.load(); });
  reports->finish();  // the bar's line ends, whatever happened
  contacts_->setDelegate(nullptr);
  if (!synced) return false;
  if (reports->failure) {
    fail(*reports->failure);
    return false;
  }
  outcome(true, "synced");
  // The window on this home tells this sync as one of its own.
  LMLastContactSync::record(platform::Clock::current()->secondsSince1970());
  std::fprintf(out_, "      up to the cloud:    contacts %s; groups %s\n", counts(reports->up).c_str(),
               counts(reports->groupsUp).c_str());
  std::fprintf(out_, "      down to the phone:  contacts %s; groups %s\n", counts(reports->down).c_str(),
               counts(reports->groupsDown).c_str());
  std::fprintf(out_, "      photos:             %llu sent, %llu received\n",
               static_cast<unsigned long long>(reports->photosSent),
               static_cast<unsigned long long>(reports->photosReceived));
  return true;
}

bool DemoJob::compareWithCloud() {
  step("Comparing the phone with the cloud");
  auto book = LMContactSyncAdapter::openAddressBook();
  const ab::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book.get());
  const std::size_t here = book ? book->peopleInSource(source).size() : 0;
  const std::size_t groups = book ? book->groupsInSource(source).size() : 0;
  const auto cloud = static_cast<std::size_t>(contacts_->context()->serverContactNum());
  const bool same = here == cloud;
  const std::string groupsText = reportCount("Demo Groups Format", {static_cast<std::int64_t>(groups)});
  const std::string cloudText = reportCount("Contacts Format", {static_cast<std::int64_t>(cloud)});
  outcome(same, reportCount("Demo Compare Format", {peopleText(here), groupsText, cloudText}));
  return same;
}

}  // namespace lumora
