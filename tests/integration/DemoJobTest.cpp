// The demo's main job against the local cloud: a refused sign-in and a step
// that brings no answer in time are failures of their own kinds, told once;
// a damaged address book is told as one, a denied one as the app home's;
// a sync it made is the one the contacts page tells.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "SignedRequestFixture.h"
#include "app/demo/DemoJob.h"
#include "feedback/QBLogUtil.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/dispatch/Clock.h"
#include "platform/http/TestServer.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMLastContactSync.h"
#include "support/DamagedAddressBook.h"
#include "support/WithoutFileModeOverride.h"

namespace signedtest {
namespace {

// What a run prints and returns: the steps on one stream, the failure once
// on the other, and the failure's kind as the status.
struct DemoRunResult {
  int status;
  std::string out;
  std::string err;
};

DemoRunResult demoRun(const lumora::DemoOptions& options) {
  char* outText = nullptr;
  char* errText = nullptr;
  std::size_t outSize = 0, errSize = 0;
  std::FILE* out = open_memstream(&outText, &outSize);
  std::FILE* err = open_memstream(&errText, &errSize);
  DemoRunResult result{lumora::DemoJob(options, out, err).run(), "", ""};
  std::fclose(out);
  std::fclose(err);
  result.out.assign(outText, outSize);
  result.err.assign(errText, errSize);
  std::free(outText);
  std::free(errText);
  lumora::QBLogUtil::stopLog();
  return result;
}

TEST_F(SignedRequestCloudTest, ADemoFailureIsToldOnceWithItsKindAsTheStatus) {
  // A wrong password is told once, in the sign-in screen's words and in
  // the tables' language, never as the account service's code.
  lumora::DemoOptions refused;
  refused.login = "alice";
  refused.password = "wrong";
  DemoRunResult run;
  for (const char* language : {"zh-Hans", "en"}) {
    SCOPED_TRACE(language);
    platform::UserDefaults::standard().registerDefaults(
        {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({language})}});
    run = demoRun(refused);
    const std::string words = platform::ui::localizedString("Verify Failed");
    EXPECT_EQ(run.status, lumora::kDemoExitSignInRefused) << run.err;
    EXPECT_NE(run.err.find("at step 1: " + words + "\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(words), run.err.rfind(words)) << run.err;
    for (const std::string& stream : {run.out, run.err}) {
      EXPECT_EQ(stream.find("70016"), std::string::npos) << stream;
      EXPECT_EQ(stream.find("Domain"), std::string::npos) << stream;
    }
  }

  // The relocation service sits on the request far longer than the demo waits.
  localcloud::Fault slow;
  slow.delayMs = 20000;
  slow.times = 1;
  server_->faults().set("/lum/relocation/v3/user/10001/record", slow);
  lumora::DemoOptions options;
  options.login = "alice";
  options.password = "secret";
  options.stepLimit = std::chrono::milliseconds(300);
  run = demoRun(options);
  EXPECT_EQ(run.status, lumora::kDemoExitUnreachable) << run.err;
  EXPECT_NE(run.err.find("no answer within 0.3 s"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("ok: no relocation"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("registering this device"), std::string::npos) << run.out;
}

// The cloud redirects every photo upload to another origin, where the
// upload's body may not follow: each fails at once, and the run ends told
// as the cloud sending the request elsewhere, naming where, with the
// cloud's exit status; the other origin gets nothing.
TEST_F(SignedRequestCloudTest, ADemoUploadRedirectedElsewhereFailsAtOnceToldAsSuch) {
  // Pacing and retry waits move this clock on without real waiting.
  auto clock = std::make_shared<platform::ManualClock>();
  clock->setAutoAdvanceSleeps(true);
  clock->setTime(platform::SystemClock().now());
  platform::ScopedClock scoped(clock);
  std::atomic<int> reachedElsewhere{0};
  testhttp::TestServer elsewhere;
  (*elsewhere).Post(".*", [&](const httplib::Request&, httplib::Response&) { ++reachedElsewhere; });
  elsewhere.start();
  localcloud::Fault moved;
  moved.status = 307;
  moved.location = elsewhere.url("/moved");
  server_->faults().set(std::string("/lum/gallery/v3/user/") + kUserIdText + "/full", moved);
  lumora::DemoOptions options;
  options.login = "alice";
  options.password = "secret";
  const auto began = clock->steadyNow();
  const auto realBegan = std::chrono::steady_clock::now();
  const DemoRunResult run = demoRun(options);
  const double clockSeconds = std::chrono::duration<double>(clock->steadyNow() - began).count();
  RecordProperty("clock_seconds", std::to_string(clockSeconds));
  RecordProperty("real_seconds",
                 std::to_string(std::chrono::duration<double>(std::chrono::steady_clock::now() - realBegan).count()));
  EXPECT_EQ(run.status, lumora::kDemoExitCloudFailure) << run.err;
  EXPECT_NE(run.err.find("the cloud failed a request at step 9: The cloud sent the request elsewhere (" +
                         elsewhere.url("/moved") + ")"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("LUMORA_CLOUD_URL"), std::string::npos) << run.err;
  EXPECT_EQ(reachedElsewhere.load(), 0);
  // The backup's own clock time: its sends, paced, and no retry waits.
  EXPECT_LT(clockSeconds, 120) << run.out;
}

// A damaged address book is told as a book that cannot be read, naming its
// file, never as the app home's permissions; a file the system refuses
// keeps that text.
TEST_F(SignedRequestCloudTest, ADemoTellsADamagedAddressBookAsUnreadableAndADeniedOneAsTheAppHomes) {
  lumora::DemoOptions options;
  options.login = "alice";
  options.password = "secret";
  const std::string store = platform::addressbook::AddressBook::storePath().string();
  const std::string unreadable = "the phone's address book cannot be read";
  for (const auto& damaged : testsupport::kBookDamages) {
    SCOPED_TRACE(damaged.what);
    testsupport::damageAddressBook(damaged.damage);
    const DemoRunResult run = demoRun(options);
    EXPECT_EQ(run.status, lumora::kDemoExitLocalFailure);
    EXPECT_NE(run.err.find("at step 5: " + unreadable), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(store), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("The log files are in "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("permissions"), std::string::npos) << run.err;
  }

  testsupport::makeWholeAddressBook(3);
  namespace fs = std::filesystem;
  fs::permissions(store, fs::perms::none);
  DemoRunResult denied;
  {
    testsupport::WithoutFileModeOverride asAnApp;
    denied = demoRun(options);
  }
  fs::permissions(store, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(denied.status, lumora::kDemoExitLocalFailure);
  EXPECT_NE(denied.err.find("at step 5: no access to the address book"), std::string::npos) << denied.err;
  EXPECT_NE(denied.err.find("permissions"), std::string::npos) << denied.err;
  EXPECT_EQ(denied.err.find(unreadable), std::string::npos) << denied.err;
}

// The window on a home the demo synced tells that sync: the demo records it
// where the contacts page reads it.
TEST_F(SignedRequestCloudTest, ADemoContactSyncIsTheLastSyncTheContactsPageTells) {
  auto& defaults = platform::UserDefaults::standard();
  ASSERT_EQ(defaults.doubleForKey(lumora::LMLastContactSync::kShownKey), 0);
  lumora::DemoOptions options;
  options.login = "alice";
  options.password = "secret";
  const DemoRunResult run = demoRun(options);
  ASSERT_NE(run.out.find("ok: synced"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.out.find("Done."), std::string::npos) << run.out << run.err;
  const double now = std::chrono::duration<double>(platform::Clock::current()->now().time_since_epoch()).count();
  for (const char* key : {lumora::LMLastContactSync::kShownKey, lumora::LMLastContactSync::kRuleKey}) {
    EXPECT_NEAR(defaults.doubleForKey(key), now, 600) << key;
  }
}

}  // namespace
}  // namespace signedtest
