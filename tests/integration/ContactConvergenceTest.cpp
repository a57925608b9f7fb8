// Two phones of one account (two contact_device processes, each with its
// own app home) editing their address books at random and syncing in turns
// end with the same book as each other and as the cloud, with no duplicate
// and nobody lost; and a sync killed at a random step and run again does
// the same. A few seeds run here; LUMORA_CONVERGENCE_SEEDS=N runs N. A photo
// set on one phone reaches the other with the same bytes, and back. A photo
// backup killed at a random step and run again stores each image once.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "SignedRequestFixture.h"
#include "cloud/model/LMContact.h"
#include "contactdevice/DeviceDump.h"
#include "server/storage/ContactStore.h"
#include "server/services/GalleryService.h"
#include "support/RecordStoreBeforeBooks.h"
#include "support/TestMedia.h"
#include "utils/SHA1.h"

extern char** environ;

namespace {

using contactdevice::Json;

int seedCount(int fallback) {
  const char* text = std::getenv("LUMORA_CONVERGENCE_SEEDS");
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

struct HelperRun {
  int exitCode = -1;   // -1: killed
  std::string output;  // standard output
};

class ContactDevicesTest : public signedtest::SignedRequestCloudTest {
 protected:
  struct Device {
    std::string home;
    std::string user;
    std::string token;
  };

  Device device(std::int64_t user, const std::string& name, const std::string& deviceId = "") {
    localcloud::LoginGrant grant;
    grant.userId = user;
    grant.serviceId = "lumora";
    grant.ssecurity = signedtest::kKnownKey;
    // Signed in as a device of its own (unless another's id is given).
    grant.passToken = server_->store().issuePassToken(user, deviceId.empty() ? "device-" + name : deviceId);
    Device made{(home_.root() / name).string(), std::to_string(user), server_->store().issueServiceToken(grant)};
    std::filesystem::create_directories(made.home);
    return made;
  }

  // Runs the helper to its end; with `stopAt`, stops it at that step of a
  // sync and kills it there (SIGKILL), as a phone that dies mid-sync.
  HelperRun run(const Device& d, std::vector<std::string> command, long stopAt = 0) {
    std::vector<std::string> args = {LUMORA_CONTACT_DEVICE, d.home, server_->url(), d.user, d.token,
                                     signedtest::kKnownKey};
    args.insert(args.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    if (stopAt > 0) env.push_back("LUMORA_DEVICE_STOP_AT=" + std::to_string(stopAt));
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string outPath = d.home + "/helper.out";
    const std::string errPath = d.home + "/helper.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    HelperRun result;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << argv[0];
      return result;
    }
    int status = 0;
    waitpid(pid, &status, WUNTRACED);
    if (WIFSTOPPED(status)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    std::ifstream out(outPath);
    std::stringstream text;
    text << out.rdbuf();
    result.output = text.str();
    return result;
  }

  void sync(const Device& d) {
    HelperRun synced = run(d, {"sync"});
    if (synced.exitCode != 0) {
      std::ifstream err(d.home + "/helper.err");
      std::stringstream text;
      text << err.rdbuf();
      const std::string log = text.str();
      ADD_FAILURE() << "sync failed (" << synced.exitCode << "): " << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    }
  }

  Json dump(const Device& d) {
    HelperRun dumped = run(d, {"dump"});
    EXPECT_EQ(dumped.exitCode, 0);
    return Json::parse(dumped.output, nullptr, false);
  }

  // The cloud's live contacts and groups of `user`, in the same form.
  Json cloudDump(const std::string& user) {
    contactdevice::DumpBuilder builder;
    std::map<std::int64_t, std::string> groupTitles;
    std::map<std::int64_t, std::vector<std::string>> members;
    for (const auto& record : server_->contacts().records(std::stoll(user))) {
      if (record.status != localcloud::ContactStore::kStatusLive) continue;
      if (record.type == "group") {
        groupTitles[record.id] = record.content.value("title", "");
        continue;
      }
      auto contact = lumora::LMContact::initWithLumoraJSON(record.envelope()["content"]);
      if (!contact) continue;
      builder.person(*contact);
      for (std::int64_t group : contact->groupIDs) members[group].push_back(contact->name.value_or(""));
    }
    for (const auto& [id, title] : groupTitles) builder.group(title, members[id]);
    return builder.dump();
  }

  // The names of the people of a dump.
  static std::set<std::string> peopleIn(const Json& dump) {
    std::set<std::string> out;
    for (const auto& [name, person] : dump["people"].items()) out.insert(name);
    return out;
  }

  // A person "<given> Person" made in the cloud as another device would,
  // without a device's key; its record id.
  std::int64_t addElsewhere(std::int64_t user, const std::string& given) {
    lumora::LMContact contact;
    contact.givenName = given;
    contact.familyName = "Person";
    contact.name = given + " Person";
    return server_->contacts().add(user, "contact", contact.dictionaryForLumoraJSON()["content"]).record.id;
  }

  // For each step of a sync from the first: a new phone of user
  // `firstUser + step`, readied by `before`; its sync killed at that step;
  // then `after` with what it left. Ends at the first step the sync no
  // longer reaches.
  void killAtEachStep(std::int64_t firstUser, const std::string& name, const std::function<void(const Device&)>& before,
                      const std::function<void(const Device&)>& after) {
    for (long step = 1;; ++step) {
      SCOPED_TRACE("killed at step " + std::to_string(step));
      ASSERT_LT(step, 100) << "the sync never ran to its end";
      const Device d = device(firstUser + step, name + std::to_string(step));
      before(d);
      if (run(d, {"sync"}, step).exitCode != -1) return;  // the sync ended before that step
      after(d);
    }
  }

  void expectSame(const Json& a, const Json& b, const Json& cloud) {
    EXPECT_EQ(a["duplicates"], Json::array());
    EXPECT_EQ(b["duplicates"], Json::array());
    EXPECT_EQ(cloud["duplicates"], Json::array());
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, cloud);
  }
};

TEST_F(ContactDevicesTest, TwoPhonesEditingAtRandomConvergeWithNoDuplicateAndNobodyLost) {
  constexpr int kRounds = 6;
  for (int seed = 1; seed <= seedCount(3); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::int64_t user = 30000 + seed;
    Device a = device(user, "a" + std::to_string(seed));
    Device b = device(user, "b" + std::to_string(seed));
    ASSERT_EQ(run(a, {"groups", "Alpha", "Beta"}).exitCode, 0);
    std::mt19937 order(static_cast<unsigned>(seed));
    std::set<std::string> added, deleted;
    for (int round = 0; round < kRounds; ++round) {
      Device* turn[] = {&a, &b};
      if (order() % 2 == 1) std::swap(turn[0], turn[1]);
      for (Device* d : turn) {
        const std::string tag = std::string(d == &a ? "a" : "b") + std::to_string(seed) + "r" + std::to_string(round);
        HelperRun edited = run(*d, {"edit", tag, std::to_string(seed * 1000 + round * 10 + (d == &a ? 1 : 2))});
        ASSERT_EQ(edited.exitCode, 0);
        Json report = Json::parse(edited.output, nullptr, false);
        for (const auto& name : report["added"]) added.insert(name.get<std::string>());
        for (const auto& name : report["deleted"]) deleted.insert(name.get<std::string>());
        sync(*d);
      }
    }
    for (Device* d : {&a, &b, &a, &b}) sync(*d);
    Json dumpA = dump(a);
    expectSame(dumpA, dump(b), cloudDump(a.user));
    for (const std::string& name : added) {
      EXPECT_TRUE(dumpA["people"].contains(name) || deleted.count(name) != 0) << name << " was lost";
    }
    EXPECT_EQ(dumpA["groups"].size(), 2u);
  }
}

TEST_F(ContactDevicesTest, ASyncKilledAtARandomStepAndRunAgainConvergesWithNoDuplicateAndNobodyLost) {
  for (int seed = 1; seed <= seedCount(3); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::int64_t user = 40000 + seed;
    std::mt19937 random(static_cast<unsigned>(seed));
    for (int i = 0; i < 300; ++i) {
      lumora::LMContact contact;
      contact.givenName = "Cloud" + std::to_string(i);
      contact.familyName = "Person";
      contact.name = *contact.givenName + " Person";
      server_->contacts().add(user, "contact", contact.dictionaryForLumoraJSON()["content"]);
    }
    Device a = device(user, "k" + std::to_string(seed));
    Device b = device(user, "kb" + std::to_string(seed));
    ASSERT_EQ(run(a, {"people", "40", "Local"}).exitCode, 0);

    // The first sync (about 900 steps: address-book writes, requests,
    // progress reports) dies at a random step; for even seeds the next one
    // dies too (when it has that many steps left); then one runs to its end.
    EXPECT_EQ(run(a, {"sync"}, 1 + static_cast<long>(random() % 900)).exitCode, -1);
    if (seed % 2 == 0) run(a, {"sync"}, 1 + static_cast<long>(random() % 300));
    sync(a);
    // Then both phones change things, and one of them dies while syncing.
    sync(b);
    ASSERT_EQ(run(a, {"edit", "ka" + std::to_string(seed), std::to_string(seed)}).exitCode, 0);
    ASSERT_EQ(run(b, {"edit", "kb" + std::to_string(seed), std::to_string(seed + 50)}).exitCode, 0);
    sync(b);
    run(a, {"sync"}, 1 + static_cast<long>(random() % 40));
    for (Device* d : {&a, &b, &a}) sync(*d);
    Json dumpA = dump(a);
    expectSame(dumpA, dump(b), cloudDump(a.user));
    EXPECT_GE(dumpA["people"].size(), 338u);
  }
}

// A phone adds three people and dies at a step of its sync after the cloud
// made their records (the reply lost, or the rows unwritten while two
// people from the cloud are written into the book); another device
// then deletes one of them; the phone's next syncs succeed and leave it
// and the cloud with the same two people. Each step's people on both sides
// are recorded (property "user<70000 + N>").
TEST_F(ContactDevicesTest, APersonDeletedElsewhereAfterASyncDiedOnceItsAddsWereMadeGoesHereToo) {
  auto text = [](const std::set<std::string>& names) {
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
    return "{" + out + "}";
  };
  int killedAfterTheAdds = 0;
  killAtEachStep(
      70000, "s",
      [&](const Device& d) {
        ASSERT_EQ(run(d, {"people", "3", "Kill"}).exitCode, 0);
        // Two people from elsewhere to write here, after the adds went up.
        for (const char* given : {"Cloud0", "Cloud1"}) addElsewhere(std::stoll(d.user), given);
      },
      [&](const Device& d) {
        const std::int64_t user = std::stoll(d.user);
        std::int64_t deleted = 0;
        for (const auto& record : server_->contacts().records(user)) {
          auto contact = lumora::LMContact::initWithLumoraJSON(record.envelope()["content"]);
          if (contact && contact->name == "Kill1 Person") deleted = record.id;
        }
        if (cloudDump(d.user)["people"].size() != 5u) return;  // the adds had not reached the cloud
        ++killedAfterTheAdds;
        ASSERT_NE(deleted, 0);
        const std::set<std::string> before = peopleIn(dump(d));
        ASSERT_EQ(server_->contacts().remove(user, deleted, std::nullopt, false).outcome,
                  localcloud::ContactStore::Outcome::Applied);
        for (int run = 0; run < 3; ++run) sync(d);
        const Json here = dump(d);
        const Json there = cloudDump(d.user);
        RecordProperty("user" + d.user, "before " + text(before) + "; after: phone " + text(peopleIn(here)) +
                                            ", cloud " + text(peopleIn(there)));
        EXPECT_EQ(peopleIn(here),
                  (std::set<std::string>{"Cloud0 Person", "Cloud1 Person", "Kill0 Person", "Kill2 Person"}));
        EXPECT_EQ(here, there);
      });
  EXPECT_GE(killedAfterTheAdds, 5);
}

// A phone adds ten people and dies at a step of its sync, before the cloud
// applied its adds or after; another device then makes a person with the
// same content as Z1 and deletes it. The look-alike is no record of this
// phone's: after two syncs the phone and the cloud hold the ten people.
TEST_F(ContactDevicesTest, AnAddKilledOnItsWayOutlivesALookAlikeDeletedElsewhere) {
  std::set<std::string> everyone;
  for (int i = 0; i < 10; ++i) everyone.insert("Z" + std::to_string(i) + " Person");
  int killedBeforeTheCloud = 0;
  killAtEachStep(
      72000, "z", [&](const Device& d) { ASSERT_EQ(run(d, {"people", "10", "Z"}).exitCode, 0); },
      [&](const Device& d) {
        const std::int64_t user = std::stoll(d.user);
        killedBeforeTheCloud += cloudDump(d.user)["people"].size() < 10u;
        const std::int64_t lookAlike = addElsewhere(user, "Z1");
        ASSERT_EQ(server_->contacts().remove(user, lookAlike, std::nullopt, false).outcome,
                  localcloud::ContactStore::Outcome::Applied);
        for (int run = 0; run < 2; ++run) sync(d);
        const Json here = dump(d);
        EXPECT_EQ(peopleIn(here), everyone);
        EXPECT_EQ(here, cloudDump(d.user));
      });
  EXPECT_GE(killedBeforeTheCloud, 3);
}

// Record ids start at 1 on every phone, so two phones of one account send
// adds under the same key. A person another phone added under key 1 and
// that was deleted since is no answer to this phone's own first add of a
// person with the same content: it stays here and in the cloud. The same
// holds for two homes that sign in with one device id (an app home copied
// to a second machine).
TEST_F(ContactDevicesTest, AnotherPhonesDeletedAddUnderTheSameKeyIsNotThisPhones) {
  const std::vector<std::pair<std::int64_t, std::string>> rows = {{73001, ""}, {73002, "copied-home"}};
  for (const auto& [user, sharedDeviceId] : rows) {
    SCOPED_TRACE(sharedDeviceId.empty() ? "devices of their own" : "one device id");
    Device other = device(user, "other" + std::to_string(user), sharedDeviceId);
    Device phone = device(user, "phone" + std::to_string(user), sharedDeviceId);
    ASSERT_EQ(run(other, {"people", "1", "Same"}).exitCode, 0);
    sync(other);
    const auto records = server_->contacts().records(user);
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(server_->contacts().remove(user, records.front().id, std::nullopt, false).outcome,
              localcloud::ContactStore::Outcome::Applied);

    ASSERT_EQ(run(phone, {"people", "1", "Same"}).exitCode, 0);
    for (int run = 0; run < 2; ++run) {
      sync(phone);
      const Json here = dump(phone);
      EXPECT_EQ(peopleIn(here), (std::set<std::string>{"Same0 Person"})) << run;
      EXPECT_EQ(here, cloudDump(phone.user)) << run;
    }
  }
}

// Groups Alpha and Beta on two phones; five new people on one, whose batch
// reply is lost or whose batch is dropped; then Z1 is put into Beta, or
// moved there from Alpha. Once its add is settled, the membership is on the
// other phone and in the cloud too.
TEST_F(ContactDevicesTest, AGroupChangedWhileAnAddIsInFlightReachesTheOtherPhone) {
  std::int64_t user = 74000;
  for (const bool replyLost : {true, false}) {
    for (const bool moved : {false, true}) {
      SCOPED_TRACE(std::string(replyLost ? "reply lost" : "batch dropped") + (moved ? ", moved" : ", set"));
      ++user;
      Device phone = device(user, "phone" + std::to_string(user));
      Device other = device(user, "other" + std::to_string(user));
      ASSERT_EQ(run(phone, {"groups", "Alpha", "Beta"}).exitCode, 0);
      sync(phone);
      sync(other);
      ASSERT_EQ(run(phone, {"people", "5", "Z"}).exitCode, 0);
      if (moved) {
        ASSERT_EQ(run(phone, {"member", "Z1 Person", "Alpha"}).exitCode, 0);
      }
      localcloud::Fault fault;
      (replyLost ? fault.dropReply : fault.drop) = true;
      server_->faults().set("/lum/contact/v3/user/" + phone.user + "/full/batch", fault);
      EXPECT_EQ(run(phone, {"sync"}).exitCode, 2);
      server_->faults().clearAll();
      ASSERT_EQ(run(phone, {"member", "Z1 Person", "Beta", moved ? "Alpha" : ""}).exitCode, 0);

      for (int run = 0; run < 2; ++run) sync(phone);
      sync(other);
      const Json here = dump(phone);
      EXPECT_EQ(here["groups"]["Beta"], Json::array({"Z1 Person"}));
      EXPECT_EQ(here["groups"]["Alpha"], Json::array());
      expectSame(here, dump(other), cloudDump(phone.user));
    }
  }
}

// A phone adds Bob0 and Bob1; the batch's reply is lost (the cloud made
// them) or the batch dropped (it did not). The address book is then
// replaced by a new, empty one (a restore, a reset) and the user types in
// Carol, who takes Bob0's record id, or the same two people again. The
// adds belong to the book they were made in: Carol is a new person and the
// Bobs come back from the cloud's records, while the same people typed in
// again are the adds' own (answered, nothing more sent). The phone, the
// cloud and a fresh second phone end with the same people, each once.
TEST_F(ContactDevicesTest, AnAddInFlightAcrossAReplacedBookTakesOnlyThePersonItCarried) {
  struct Row {
    bool replyLost;
    const char* typed;
    int count;
    std::set<std::string> everyone;
    std::size_t batches;  // of the first sync after: the adds sent again, then what is new
  };
  const std::set<std::string> bobs = {"Bob0 Person", "Bob1 Person"};
  const std::set<std::string> withCarol = {"Bob0 Person", "Bob1 Person", "Carol0 Person"};
  const Row rows[] = {
      {true, "Carol", 1, withCarol, 2}, {false, "Carol", 1, withCarol, 2}, {true, "Bob", 2, bobs, 1}};
  std::int64_t user = 75000;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.replyLost ? "reply lost" : "batch dropped") + ", then typed in: " + row.typed);
    ++user;
    Device phone = device(user, "phone" + std::to_string(user));
    const std::string batch = "/lum/contact/v3/user/" + phone.user + "/full/batch";
    const HelperRun first = run(phone, {"people", "2", "Bob"});
    ASSERT_EQ(first.exitCode, 0);
    localcloud::Fault fault;
    (row.replyLost ? fault.dropReply : fault.drop) = true;
    server_->faults().set(batch, fault);
    EXPECT_EQ(run(phone, {"sync"}).exitCode, 2);
    server_->faults().clearAll();
    ASSERT_EQ(cloudDump(phone.user)["people"].size(), row.replyLost ? 2u : 0u);

    ASSERT_EQ(run(phone, {"newbook"}).exitCode, 0);
    const HelperRun typed = run(phone, {"people", std::to_string(row.count), row.typed});
    ASSERT_EQ(typed.exitCode, 0);
    EXPECT_EQ(Json::parse(typed.output, nullptr, false)[0], Json::parse(first.output, nullptr, false)[0])
        << "the id the first book gave Bob0";
    for (const std::size_t batches : {row.batches, std::size_t{0}}) {
      server_->signedEndpoints().clearJournal();
      sync(phone);
      EXPECT_EQ(calls(batch).size(), batches);
    }
    Device other = device(user, "other" + std::to_string(user));
    sync(other);
    const Json here = dump(phone);
    EXPECT_EQ(peopleIn(here), row.everyone);
    expectSame(here, dump(other), cloudDump(phone.user));
  }
}

// A phone of an earlier form, whose adds in flight were kept without the
// mark of their address book (or without a mark of their own too), adds
// Bob; the batch's reply is lost (the cloud made Bob), and the phone is
// upgraded on that store. Then either the book is replaced by a new, empty
// one and Carol typed in under Bob's id, or the book is kept and Bob edited
// (his phone number changed, a photo, a group: a Bob that no longer merges
// with the one sent). Two syncs: Bob and Carol, or the
// one Bob as edited, are on the phone, in the cloud and on a fresh second
// phone, each once. Carol is new here also when the store holds no record
// of the book its syncs ran against.
TEST_F(ContactDevicesTest, AnAddInFlightKeptByAnEarlierFormTakesOnlyThePersonItCarried) {
  struct Row {
    testsupport::PendingAddsForm form;
    bool replaced;
    bool bookRecorded;
  };
  const Row rows[] = {{testsupport::PendingAddsForm::BeforeMarks, true, true},
                      {testsupport::PendingAddsForm::BeforeMarks, false, true},
                      {testsupport::PendingAddsForm::BeforeBooks, true, true},
                      {testsupport::PendingAddsForm::BeforeBooks, false, true},
                      {testsupport::PendingAddsForm::BeforeMarks, true, false}};
  std::int64_t user = 76000;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.form == testsupport::PendingAddsForm::BeforeMarks ? "before marks" : "before books") +
                 (row.replaced ? ", book replaced, Carol typed in" : ", book kept, Bob edited") +
                 (row.bookRecorded ? "" : ", no book recorded"));
    ++user;
    Device phone = device(user, "phone" + std::to_string(user));
    const HelperRun first = run(phone, {"people", "1", "Bob"});
    ASSERT_EQ(first.exitCode, 0);
    ASSERT_EQ(run(phone, {"phone", "Bob0 Person", "+1 555 0100"}).exitCode, 0);
    localcloud::Fault fault;
    fault.dropReply = true;
    server_->faults().set("/lum/contact/v3/user/" + phone.user + "/full/batch", fault);
    EXPECT_EQ(run(phone, {"sync"}).exitCode, 2);
    server_->faults().clearAll();
    ASSERT_EQ(cloudDump(phone.user)["people"].size(), 1u);
    ASSERT_TRUE(testsupport::putPendingAddsBeforeBooks(
        std::filesystem::path(phone.home) / "Documents" / "lumora.db", row.form));
    if (!row.bookRecorded) {
      ASSERT_EQ(run(phone, {"forgetbook"}).exitCode, 0);
    }

    const std::string picture = phone.home + "/picture.jpg";
    if (row.replaced) {
      ASSERT_EQ(run(phone, {"newbook"}).exitCode, 0);
      const HelperRun typed = run(phone, {"people", "1", "Carol"});
      ASSERT_EQ(typed.exitCode, 0);
      EXPECT_EQ(Json::parse(typed.output, nullptr, false), Json::parse(first.output, nullptr, false))
          << "the id the first book gave Bob";
    } else {
      testsupport::writeFile(picture, testsupport::makeJpeg(64, 48));
      ASSERT_EQ(run(phone, {"phone", "Bob0 Person", "+1 555 0199"}).exitCode, 0);
      ASSERT_EQ(run(phone, {"photo", "Bob0 Person", picture}).exitCode, 0);
      ASSERT_EQ(run(phone, {"groups", "Friends"}).exitCode, 0);
      ASSERT_EQ(run(phone, {"member", "Bob0 Person", "Friends"}).exitCode, 0);
    }
    for (int again = 0; again < 2; ++again) sync(phone);
    Device other = device(user, "other" + std::to_string(user));
    sync(other);
    const Json here = dump(phone);
    if (row.replaced) {
      EXPECT_EQ(peopleIn(here), (std::set<std::string>{"Bob0 Person", "Carol0 Person"}));
    } else {
      EXPECT_EQ(peopleIn(here), std::set<std::string>{"Bob0 Person"});
      EXPECT_EQ(here["people"]["Bob0 Person"]["phones"], Json::array({"+1 555 0199"}));
      EXPECT_EQ(here["groups"]["Friends"], Json::array({"Bob0 Person"}));
      const Json photos = Json::parse(run(other, {"photos"}).output, nullptr, false);
      EXPECT_EQ(photos, (Json{{"Bob0 Person", lumora::sha1String(testsupport::makeJpeg(64, 48))}}));
    }
    expectSame(here, dump(other), cloudDump(phone.user));
  }
}

TEST_F(ContactDevicesTest, APhotoReachesTheOtherPhoneWithTheSameBytesAndAChangeComesBack) {
  Device a = device(50001, "pa");
  Device b = device(50001, "pb");
  ASSERT_EQ(run(a, {"people", "2", "Pic"}).exitCode, 0);
  auto setPhoto = [&](const Device& d, const platform::Bytes& picture) {
    const std::string file = d.home + "/picture.jpg";
    testsupport::writeFile(file, picture);
    ASSERT_EQ(run(d, {"photo", "Pic0 Person", file}).exitCode, 0);
  };
  auto photos = [&](const Device& d) { return Json::parse(run(d, {"photos"}).output, nullptr, false); };

  const platform::Bytes first = testsupport::makeJpeg(64, 48);
  setPhoto(a, first);
  sync(a);
  sync(b);
  EXPECT_EQ(photos(b), (Json{{"Pic0 Person", lumora::sha1String(first)}}));

  const platform::Bytes second = testsupport::makeJpeg(48, 64);
  setPhoto(b, second);
  sync(b);
  sync(a);
  EXPECT_EQ(photos(a), (Json{{"Pic0 Person", lumora::sha1String(second)}}));
  EXPECT_EQ(photos(b), photos(a));
  expectSame(dump(a), dump(b), cloudDump(a.user));
}

TEST_F(ContactDevicesTest, ABackupKilledAtARandomStepAndRunAgainStoresEachImageOnce) {
  constexpr int kPhotos = 6;
  for (int seed = 1; seed <= seedCount(3); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::int64_t user = 60000 + seed;
    Device d = device(user, "g" + std::to_string(seed));
    std::set<std::string> sha1s;
    for (int i = 0; i < kPhotos; ++i) {
      const platform::Bytes photo = testsupport::makeJpeg(20 + i, 16 + seed);
      testsupport::writeFile(d.home + "/Media/IMG_" + std::to_string(1000 + i) + ".JPG", photo);
      sha1s.insert(lumora::sha1String(photo));
    }
    // About 20 steps: two listings, then per photo its upload request, its
    // commit and its report; the first run dies at one of them, and for
    // even seeds the second run too.
    std::mt19937 random(static_cast<unsigned>(seed));
    EXPECT_EQ(run(d, {"backup"}, 2 + static_cast<long>(random() % 17)).exitCode, -1);
    if (seed % 2 == 0) run(d, {"backup"}, 1 + static_cast<long>(random() % 10));
    for (int again = 0; again < 2; ++again) ASSERT_EQ(run(d, {"backup"}).exitCode, 0);

    std::multiset<std::string> stored;
    for (const auto& image : server_->gallery().records().images(user)) {
      if (image.status == "custom") stored.insert(image.sha1);
    }
    EXPECT_EQ(stored, std::multiset<std::string>(sha1s.begin(), sha1s.end()));
  }
}

}  // namespace
