#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "server/storage/ContactStore.h"
#include "server/services/Crypto.h"
#include "server/storage/Store.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

using namespace localcloud;

TEST(Crypto, DigestsAndBase64MatchKnownVectors) {
  EXPECT_EQ(crypto::sha1Base64("abc"), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
  EXPECT_EQ(crypto::md5HexUpper("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(crypto::base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(crypto::base64Encode("fo"), "Zm8=");
  EXPECT_EQ(crypto::base64Decode("Zm8="), "fo");
  EXPECT_EQ(crypto::base64Decode("Zm9vYg=="), "foob");
  // Strict decoding: bad length, stray characters, padding inside.
  EXPECT_FALSE(crypto::base64Decode("Zm8"));
  EXPECT_FALSE(crypto::base64Decode("Zm8*"));
  EXPECT_FALSE(crypto::base64Decode("Zm==Zm9v"));
  EXPECT_EQ(crypto::base64UrlEncode(std::string("\xfb\xff", 2)), "-_8");
}

TEST(Crypto, RandomDigitsAreEvenlySpread) {
  std::string digits = crypto::randomDigits(1'000'000);
  ASSERT_EQ(digits.size(), 1'000'000u);
  std::array<int, 10> counts{};
  for (char c : digits) {
    ASSERT_TRUE(c >= '0' && c <= '9');
    ++counts[static_cast<std::size_t>(c - '0')];
  }
  // Digits from bytes taken modulo 10 would give 0-5 about 3900 more each
  // than 6-9; an even spread differs by about 200 (five times that here).
  double low = 0;
  double high = 0;
  for (int d = 0; d < 6; ++d) low += counts[d] / 6.0;
  for (int d = 6; d < 10; ++d) high += counts[d] / 4.0;
  EXPECT_LT(std::abs(low - high), 1000) << low << " vs " << high;
}

TEST(Crypto, RequestSignatureSortsParametersAndEndsWithTheKey) {
  auto signature = crypto::requestSignature("post", "/x/y", {{"b", "2"}, {"a", "1"}}, "KEY");
  EXPECT_EQ(signature, crypto::sha1Base64("POST&/x/y&a=1&b=2&KEY"));
  // Upper-case names sort before lower-case ones (byte order).
  EXPECT_EQ(crypto::requestSignature("", "", {{"a", "1"}, {"Z", "2"}}, "k"),
            crypto::sha1Base64("Z=2&a=1&k"));
  EXPECT_FALSE(crypto::requestSignature("GET", "/p", {}, ""));
  EXPECT_EQ(crypto::clientSign(42, "S3c"), crypto::sha1Base64("nonce=42&S3c"));
  EXPECT_EQ(crypto::clientSign(42, "S3c").size(), 28u);
}

class StoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<Store> open() {
    std::string error;
    auto store = Store::open(home_.root() / "data", &error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  // The single number a query gives, read over a second connection.
  std::int64_t count(const std::string& sql) {
    sqlite3* db = nullptr;
    std::int64_t value = -1;
    if (sqlite3_open((home_.root() / "data" / "cloud.db").c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW) {
        value = sqlite3_column_int64(st, 0);
      }
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return value;
  }
  testsupport::TestHome home_;
};

TEST_F(StoreTest, SeedingValidatesAndFindsByIdOrLoginName) {
  auto store = open();
  std::string error;
  EXPECT_TRUE(store->seedAccount(7, "alice", "pw", {}, &error)) << error;
  EXPECT_FALSE(store->seedAccount(8, "alice", "pw", {}, &error));  // login name taken
  EXPECT_FALSE(store->seedAccount(0, "bob", "pw", {}, &error));
  EXPECT_FALSE(store->seedAccount(9, "bob", "", {}, &error));
  AccountOptions twoStep;
  twoStep.needsTwoStep = true;
  EXPECT_FALSE(store->seedAccount(9, "bob", "pw", twoStep, &error));  // no code
  twoStep.twoStepCode = "123456";
  EXPECT_TRUE(store->seedAccount(9, "bob", "pw", twoStep, &error)) << error;

  auto byName = store->findAccount("alice");
  auto byId = store->findAccount("7");
  ASSERT_TRUE(byName && byId);
  EXPECT_EQ(byName->userId, 7);
  EXPECT_EQ(byId->loginName, "alice");
  EXPECT_EQ(byName->passwordHash, crypto::md5HexUpper("pw"));
  EXPECT_FALSE(store->findAccount("nobody"));
  EXPECT_FALSE(store->findAccount("99999999999999999999999"));

  // Re-seeding replaces the options but keeps the encrypted user id.
  std::string cUserId = byName->cUserId;
  AccountOptions blocked;
  blocked.blocked = true;
  ASSERT_TRUE(store->seedAccount(7, "alice", "pw2", blocked));
  auto again = store->accountById(7);
  EXPECT_TRUE(again->options.blocked);
  EXPECT_EQ(again->cUserId, cUserId);
}

TEST_F(StoreTest, GrantsAreUsedOnceAndTokensSurviveReopening) {
  std::string serviceToken;
  std::string passToken;
  LoginGrant grant;
  {
    auto store = open();
    ASSERT_TRUE(store->seedAccount(7, "alice", "pw"));
    passToken = store->issuePassToken(7, "device-1");
    grant = store->createLoginGrant(7, "lumora", passToken);
    ASSERT_NE(grant.nonce, 0);
    EXPECT_EQ(crypto::base64Decode(grant.ssecurity)->size(), 16u);
    EXPECT_TRUE(store->consumeLoginGrant(grant.nonce));
    EXPECT_FALSE(store->consumeLoginGrant(grant.nonce));
    serviceToken = store->issueServiceToken(grant);
  }
  auto store = open();
  auto info = store->lookupServiceToken(serviceToken);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->userId, 7);
  EXPECT_EQ(info->serviceId, "lumora");
  EXPECT_EQ(info->ssecurity, grant.ssecurity);
  EXPECT_EQ(store->passTokenOwner(passToken), 7);
  EXPECT_EQ(store->securityKeysOfPassToken(passToken),
            std::vector<std::string>{grant.ssecurity});

  store->revokeServiceTokens(7);
  store->revokePassTokens(7);
  EXPECT_FALSE(store->lookupServiceToken(serviceToken));
  EXPECT_FALSE(store->passTokenOwner(passToken));
}

TEST_F(StoreTest, AcknowledgedWritesSurviveTheProcessBeingKilled) {
  // A child process adds contact records from 4 threads and reports each
  // one once the store has acknowledged it; it is killed mid-write. Every
  // reported record is there when the store is opened again.
  constexpr int kThreads = 4;
  constexpr std::size_t kAcksBeforeKill = 2000;
  ASSERT_TRUE(open());  // the schema, before the child writes
  int acks[2];
  ASSERT_EQ(::pipe(acks), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(acks[0]);
    auto store = Store::open(home_.root() / "data");
    ContactStore contacts(*store);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, userId = std::int64_t{t + 1}] {
        auto stop = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(60));
        while (std::chrono::steady_clock::now() < stop) {
          auto change = contacts.add(userId, "contact", {{"name", "x"}});
          if (change.outcome != ContactStore::Outcome::Applied) break;
          std::int64_t ack[2] = {userId, change.record.id};
          if (::write(acks[1], ack, sizeof ack) != sizeof ack) break;
        }
      });
    }
    for (auto& writer : writers) writer.join();
    ::_exit(0);
  }
  ::close(acks[1]);
  std::set<std::pair<std::int64_t, std::int64_t>> acknowledged;
  std::int64_t ack[2];
  while (::read(acks[0], ack, sizeof ack) == sizeof ack) {
    acknowledged.emplace(ack[0], ack[1]);
    if (acknowledged.size() == kAcksBeforeKill) ::kill(child, SIGKILL);
  }
  ::close(acks[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_GE(acknowledged.size(), kAcksBeforeKill);

  auto store = open();
  ContactStore contacts(*store);
  std::size_t missing = 0;
  for (const auto& [userId, id] : acknowledged) missing += contacts.find(userId, id) ? 0 : 1;
  EXPECT_EQ(missing, 0u) << "of " << acknowledged.size();
}

TEST_F(StoreTest, CaptchaIsUsedUpByAnyAttempt) {
  auto store = open();
  std::string code;
  std::string ick = store->createCaptcha(&code);
  EXPECT_EQ(store->captchaCode(ick), code);
  EXPECT_EQ(store->lastCaptchaCode(), code);
  EXPECT_FALSE(store->consumeCaptcha({ick}, "wrong"));
  EXPECT_FALSE(store->consumeCaptcha({ick}, code));  // already used up
  std::string second = store->createCaptcha(&code);
  EXPECT_TRUE(store->consumeCaptcha({"unknown", second}, code));
}

TEST_F(StoreTest, PendingStepsMoveOnlyFromTheStateTheCallerSaw) {
  auto store = open();
  PendingStep step = store->createPendingStep(PendingStep::Kind::Phone, 7, "lumora", "cb", "d");
  ASSERT_FALSE(step.ticket.empty());
  using State = PendingStep::State;
  // Two requests that both saw the step open: only the first moves it.
  EXPECT_TRUE(store->advancePendingStep(step.ticket, State::Open, State::Verified));
  EXPECT_FALSE(store->advancePendingStep(step.ticket, State::Open, State::Verified));
  EXPECT_TRUE(store->advancePendingStep(step.ticket, State::Verified, State::Done));
  EXPECT_FALSE(store->advancePendingStep(step.ticket, State::Verified, State::Done));
  EXPECT_FALSE(store->advancePendingStep("unknown", State::Open, State::Done));

  // SMS codes are counted in the Store, so parallel sends cannot pass the
  // limit, and only an open step takes one.
  PendingStep phone = store->createPendingStep(PendingStep::Kind::Phone, 7, "lumora", "cb", "d");
  EXPECT_TRUE(store->recordSmsCode(phone.ticket, "111111", 2));
  EXPECT_TRUE(store->recordSmsCode(phone.ticket, "222222", 2));
  EXPECT_FALSE(store->recordSmsCode(phone.ticket, "333333", 2));
  auto stored = store->pendingStep(phone.ticket);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->smsCode, "222222");
  EXPECT_EQ(stored->smsSent, 2);
  EXPECT_FALSE(store->recordSmsCode(step.ticket, "444444", 5));  // done
}

TEST_F(StoreTest, WhatClientsMakeTheStoreKeepIsBounded) {
  auto store = open();
  ASSERT_TRUE(store->seedAccount(7, "alice", "pw"));

  // Captchas: anyone may ask for one; the oldest go.
  std::string code;
  std::string firstIck = store->createCaptcha(&code);
  for (int i = 0; i < Store::kMaxCaptchas + 10; ++i) store->createCaptcha(&code);
  EXPECT_EQ(count("SELECT COUNT(*) FROM captchas"), Store::kMaxCaptchas);
  EXPECT_FALSE(store->captchaCode(firstIck));
  EXPECT_EQ(store->lastCaptchaCode(), code);

  // Pending steps of one user.
  auto makeStep = [&] {
    return store->createPendingStep(PendingStep::Kind::TwoStep, 7, "lumora", "cb", "d").ticket;
  };
  std::string firstTicket = makeStep();
  std::string lastTicket;
  for (int i = 0; i < Store::kMaxPendingStepsPerUser + 3; ++i) lastTicket = makeStep();
  EXPECT_EQ(count("SELECT COUNT(*) FROM pending_steps WHERE user_id = 7"),
            Store::kMaxPendingStepsPerUser);
  EXPECT_FALSE(store->pendingStep(firstTicket));
  EXPECT_TRUE(store->pendingStep(lastTicket));

  // Login grants of one pass token (each relogin makes one).
  std::string firstPass = store->issuePassToken(7, "d");
  LoginGrant firstGrant = store->createLoginGrant(7, "lumora", firstPass);
  LoginGrant lastGrant;
  for (int i = 0; i < Store::kMaxGrantsPerPassToken + 3; ++i) {
    lastGrant = store->createLoginGrant(7, "lumora", firstPass);
  }
  auto keys = store->securityKeysOfPassToken(firstPass);
  ASSERT_EQ(keys.size(), static_cast<std::size_t>(Store::kMaxGrantsPerPassToken));
  EXPECT_EQ(keys.front(), lastGrant.ssecurity);  // newest first
  EXPECT_FALSE(store->findLoginGrant(firstGrant.nonce));
  EXPECT_TRUE(store->findLoginGrant(lastGrant.nonce));

  // Pass tokens of one user (each password login makes one); the grants of
  // the ones dropped go with them.
  std::string lastPass;
  for (int i = 0; i < Store::kMaxPassTokensPerUser + 3; ++i) {
    lastPass = store->issuePassToken(7, "d");
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM pass_tokens WHERE user_id = 7"),
            Store::kMaxPassTokensPerUser);
  EXPECT_FALSE(store->passTokenOwner(firstPass));
  EXPECT_EQ(store->passTokenOwner(lastPass), 7);
  EXPECT_EQ(count("SELECT COUNT(*) FROM login_grants WHERE pass_token = '" + firstPass + "'"), 0);

  // Service tokens per user and service id.
  LoginGrant grant = store->createLoginGrant(7, "lumora", lastPass);
  std::string firstToken = store->issueServiceToken(grant);
  std::string lastToken;
  for (int i = 0; i < Store::kMaxServiceTokensPerService + 3; ++i) {
    lastToken = store->issueServiceToken(grant);
  }
  LoginGrant other = grant;
  other.serviceId = "deviceinfo";
  std::string otherToken = store->issueServiceToken(other);
  EXPECT_EQ(count("SELECT COUNT(*) FROM service_tokens WHERE service_id = 'lumora'"),
            Store::kMaxServiceTokensPerService);
  EXPECT_FALSE(store->lookupServiceToken(firstToken));
  EXPECT_TRUE(store->lookupServiceToken(lastToken));
  EXPECT_TRUE(store->lookupServiceToken(otherToken));

  // Trusted devices of one user.
  for (int i = 0; i < Store::kMaxTrustedDevicesPerUser + 3; ++i) {
    store->trustDevice(7, "device-" + std::to_string(i));
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM trusted_devices WHERE user_id = 7"),
            Store::kMaxTrustedDevicesPerUser);
  EXPECT_FALSE(store->isTrustedDevice(7, "device-0"));
  EXPECT_TRUE(store->isTrustedDevice(
      7, "device-" + std::to_string(Store::kMaxTrustedDevicesPerUser + 2)));
}

TEST_F(StoreTest, UpgradesAFirstVersionDatabaseKeepingItsData) {
  std::string serviceToken;
  {
    auto store = open();
    ASSERT_TRUE(store->seedAccount(7, "alice", "pw"));
    LoginGrant grant = store->createLoginGrant(7, "lumora", store->issuePassToken(7, "d"));
    serviceToken = store->issueServiceToken(grant);
  }
  // Back to the first schema: the cloud services' tables, the grants' order
  // and the owner indexes did not exist.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((home_.root() / "data" / "cloud.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "DROP TABLE contact_records; DROP TABLE contact_users; "
                         "DROP TABLE device_settings; DROP TABLE contact_add_memory; "
                         "DROP INDEX login_grants_seq; "
                         "DROP INDEX pass_tokens_user; DROP INDEX service_tokens_user; "
                         "DROP INDEX pending_steps_user; "
                         "ALTER TABLE login_grants DROP COLUMN seq; PRAGMA user_version = 1",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->lookupServiceToken(serviceToken));
  EXPECT_TRUE(ContactStore(*store).add(7, "group", {{"title", "x"}}).record.id > 0);
  EXPECT_EQ(store->hostList(), "{}");
  ASSERT_TRUE(store->setHostList(R"({"a":"b"})"));
  EXPECT_EQ(store->hostList(), R"({"a":"b"})");
}

TEST_F(StoreTest, TheDatabaseAndItsFolderAreTheOwnersAlone) {
  namespace fs = std::filesystem;
  const mode_t previous = ::umask(022);
  const fs::path data = home_.root() / "data";
  fs::create_directories(data);
  fs::permissions(data, fs::perms(0755));
  for (int round = 0; round < 2; ++round) {
    {
      auto store = open();
      ASSERT_TRUE(store);
      ASSERT_TRUE(store->seedAccount(7 + round, "user" + std::to_string(round), "pw"));
      EXPECT_EQ(fs::status(data).permissions(), fs::perms(0700));
      for (const char* name : {"cloud.db", "cloud.db-wal", "cloud.db-shm"}) {
        if (fs::exists(data / name)) {
          EXPECT_EQ(fs::status(data / name).permissions(), fs::perms(0600)) << name;
        }
      }
    }
    // Files of an older cloud are tightened too.
    fs::permissions(data / "cloud.db", fs::perms(0644));
    fs::permissions(data, fs::perms(0755));
  }
  ::umask(previous);
}

TEST_F(StoreTest, RefusesADatabaseFromANewerServer) {
  { open(); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((home_.root() / "data" / "cloud.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  std::string error;
  EXPECT_FALSE(Store::open(home_.root() / "data", &error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

}  // namespace
