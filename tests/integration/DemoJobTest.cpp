// The demo's main job against the local cloud: a refused sign-in and a step
// that brings no answer in time are failures of their own kinds, told once;
// a damaged address book is told as one, a denied one as the app home's;
// a sync it made is the one the contacts page tells; a photo that cannot be
// read is told by its name, pointing at that photo.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "DemoRun.h"
#include "GalleryTestSupport.h"
#include "SignedRequestFixture.h"
#include "app/demo/DemoJob.h"
#include "feedback/QBLogUtil.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/device/Device.h"
#include "platform/dispatch/Clock.h"
#include "platform/http/TestServer.h"
#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMLastContactSync.h"
#include "server/services/GalleryService.h"
#include "support/DamagedAddressBook.h"
#include "support/FileFault.h"
#include "support/HomeCopy.h"
#include "support/Sanitizers.h"
#include "support/TestMedia.h"
#include "support/UserFolder.h"
#include "support/WithoutFileModeOverride.h"

namespace signedtest {
namespace {

// The files under the photo library's folder (its catalogue left out) with
// their bytes; a link with where it points.
std::map<std::string, platform::Bytes> mediaFiles() {
  namespace fs = std::filesystem;
  std::map<std::string, platform::Bytes> files;
  const fs::path media = platform::photos::PhotoLibrary::folder();
  std::error_code ec;
  for (fs::recursive_directory_iterator it(media, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().lexically_relative(media).string();
    if (name == "PhotoData") it.disable_recursion_pending();
    if (it->is_symlink()) {
      const std::string target = "-> " + fs::read_symlink(it->path()).string();
      files[name] = platform::Bytes(target.begin(), target.end());
    } else if (it->is_regular_file()) {
      files[name] = testsupport::readFile(it->path());
    }
  }
  return files;
}

std::string names(const std::map<std::string, platform::Bytes>& files) {
  std::string out;
  for (const auto& [name, bytes] : files) out += name + " (" + std::to_string(bytes.size()) + " bytes)\n";
  return out;
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
  auto clock = demoClock();
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
  platform::ScopedClock scoped(demoClock());
  auto& defaults = platform::UserDefaults::standard();
  ASSERT_EQ(defaults.doubleForKey(lumora::LMLastContactSync::kShownKey), 0);
  const DemoRunResult run = demoRun(aliceOptions());
  ASSERT_NE(run.out.find("ok: synced"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.out.find("Done."), std::string::npos) << run.out << run.err;
  const double now = std::chrono::duration<double>(platform::Clock::current()->now().time_since_epoch()).count();
  for (const char* key : {lumora::LMLastContactSync::kShownKey, lumora::LMLastContactSync::kRuleKey}) {
    EXPECT_NEAR(defaults.doubleForKey(key), now, 600) << key;
  }
}

// A home of the user's, one person in the book and two photos in the
// library, one under a name of the demo's pictures: the demo writes none of
// its pictures over or beside them, backs the library up as it is, and
// tells each count as the window does, in English as its step titles
// (the app's language here is Chinese).
TEST_F(SignedRequestCloudTest, ADemoOnTheUsersHomeKeepsTheirPhotosAndCountsAsTheWindowDoes) {
  platform::ScopedClock scoped(demoClock());
  platform::UserDefaults::standard().registerDefaults(
      {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({"zh-Hans"})}});
  testsupport::makeWholeAddressBook(1);
  const std::filesystem::path media = platform::photos::PhotoLibrary::folder();
  testsupport::writeFile(media / "IMG_2003.JPG", testsupport::makeJpeg(64, 48));
  testsupport::writeFile(media / "2019" / "p7.jpg", testsupport::makeJpeg(48, 64));
  const auto theirs = mediaFiles();
  ASSERT_EQ(theirs.size(), 2u) << names(theirs);
  const DemoRunResult run = demoRun(aliceOptions());
  EXPECT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  EXPECT_TRUE(mediaFiles() == theirs) << names(mediaFiles());
  for (const char* line : {"ok: kept the 1 person already there\n", "ok: 1 device\n",
                           "ok: the phone has 1 person in 0 groups, the cloud 1 contact\n",
                           "ok: 2 photos in the library; sent now: 2 photos in 2 of 2 uploads"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
  }
  EXPECT_EQ(run.out.find("(s)"), std::string::npos) << run.out;
}

// The demo's pictures go into a library with no photos, as new files only:
// a name that is taken (here by a link to a file elsewhere) is written
// neither through nor over, and none of them stays then; its second run
// keeps its own pictures as they are and restores its album again. Once
// the second phone has lost its gallery's store, the album comes down again
// beside the pictures its library holds, and the check tells it as that.
TEST_F(SignedRequestCloudTest, ADemoAddsItsPicturesAsNewFilesToALibraryWithNoPhotosOnly) {
  platform::ScopedClock scoped(demoClock());
  namespace fs = std::filesystem;
  const fs::path media = platform::photos::PhotoLibrary::folder();
  const fs::path elsewhere = home_.root() / "elsewhere.jpg";
  fs::create_directories(media);
  fs::create_symlink(elsewhere, media / "IMG_2005.JPG");
  const auto taken = mediaFiles();
  DemoRunResult run = demoRun(aliceOptions());
  EXPECT_EQ(run.status, lumora::kDemoExitLocalFailure) << run.out << run.err;
  EXPECT_NE(run.err.find((media / "IMG_2005.JPG").string()), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(elsewhere)));
  EXPECT_TRUE(mediaFiles() == taken) << names(mediaFiles());

  fs::remove(media / "IMG_2005.JPG");
  run = demoRun(aliceOptions());
  ASSERT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  const auto demos = mediaFiles();
  EXPECT_EQ(demos.size(), 16u) << names(demos);
  run = demoRun(aliceOptions());
  EXPECT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  EXPECT_TRUE(mediaFiles() == demos) << names(mediaFiles());
  EXPECT_NE(run.out.find("ok: 6 files, "), std::string::npos) << run.out;

  fs::remove(home_.root() / "second-phone" / "Documents" / "gallery.db");
  run = demoRun(aliceOptions());
  EXPECT_EQ(run.status, lumora::kDemoExitLocalFailure) << run.out << run.err;
  EXPECT_NE(run.err.find(" 1.JPG is IMG_"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(".JPG restored a second time: the second phone's library held it already"),
            std::string::npos)
      << run.err;
}

// A used app home copied with hard links (a quick snapshot; a tool that
// merges equal files leaves the same) goes on as that home, and is a home
// of its own from its first start (claimed, as lumora claims it): the demo
// on the copy finds the user's preferences and the same device, sends
// nothing again, sets nothing aside and restores nothing twice, and leaves
// every file of the home it was copied from as it was, its stores
// included; the original's next run leaves the copy's as they were.
TEST_F(SignedRequestCloudTest, ADemoOnAHomeCopiedWithHardLinksGoesOnAsOnThatHome) {
  platform::ScopedClock scoped(demoClock());
  namespace fs = std::filesystem;
  ASSERT_EQ(demoRun(aliceOptions()).status, lumora::kDemoExitOk);
  std::string pattern = (fs::temp_directory_path() / "lumora-copy-XXXXXX").string();
  ASSERT_TRUE(mkdtemp(pattern.data()));
  const fs::path copy = fs::path(pattern) / "home";
  ASSERT_TRUE(testsupport::copyWithHardLinks(home_.root(), copy, {"cloud"}));
  const auto original = testsupport::homeFiles(home_.root(), {"cloud"});

  platform::AppHome::setRoot(copy);
  ASSERT_TRUE(platform::AppHome::claim().ok());
  // The program's files are its own; the user's photos are as they were.
  EXPECT_EQ(testsupport::filesWithSecondNames(copy, {"Media"}), std::set<std::string>{});
  EXPECT_EQ(testsupport::filesWithSecondNames(copy / "Media" / "PhotoData"), std::set<std::string>{});
  EXPECT_EQ(testsupport::filesWithSecondNames(copy / "Media").size(), 16u);
  auto& defaults = platform::UserDefaults::standard();
  EXPECT_NE(defaults.doubleForKey(lumora::LMLastContactSync::kShownKey), 0);
  EXPECT_FALSE(defaults.lastLoadError());
  const DemoRunResult run = demoRun(aliceOptions());
  const auto copied = testsupport::homeFiles(copy);
  platform::AppHome::setRoot(home_.root());
  EXPECT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  for (const char* line : {"ok: 1 device\n", "sent now: 0 photos in 0 of 0 uploads", "ok: 6 files, "}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
  }
  // Both contact syncs find nothing to send either way.
  const auto times = [&](const std::string& line) {
    std::size_t count = 0;
    for (auto at = run.out.find(line); at != std::string::npos; at = run.out.find(line, at + 1)) ++count;
    return count;
  };
  for (const char* line : {"found here: 0 added, 0 changed, 0 deleted\n",
                           "found in the cloud: 0 added, 0 changed, 0 deleted\n",
                           "up to the cloud:    contacts 0 added, 0 changed, 0 deleted; groups 0 added, 0 changed"}) {
    EXPECT_EQ(times(line), 2u) << line << "\n" << run.out;
  }
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(testsupport::namesHolding(copy, ".corrupt"), std::set<std::string>{});
  EXPECT_EQ(testsupport::namesHolding(copy / "second-phone" / "Media", " 1."), std::set<std::string>{});
  EXPECT_TRUE(testsupport::homeFiles(home_.root(), {"cloud"}) == original);

  // The original used again leaves the copy as it was.
  ASSERT_TRUE(platform::AppHome::claim().ok());
  EXPECT_EQ(demoRun(aliceOptions()).status, lumora::kDemoExitOk);
  EXPECT_TRUE(testsupport::homeFiles(copy) == copied);
  std::error_code ignored;
  fs::remove_all(pattern, ignored);
}

// A folder linked into the library (photos on another disk) is part of it:
// the demo takes the library as the user's, adds nothing to it and backs
// each photo up once, a link back up the tree and a loop notwithstanding.
TEST_F(SignedRequestCloudTest, ADemoBacksUpTheFoldersLinkedIntoTheLibraryOnceEach) {
  platform::ScopedClock scoped(demoClock());
  namespace fs = std::filesystem;
  testsupport::makeWholeAddressBook(1);
  const fs::path media = platform::photos::PhotoLibrary::folder();
  const testsupport::UserFolder pictures;
  const fs::path trip = pictures.path() / "trip";
  testsupport::writeFile(trip / "IMG_0001.JPG", testsupport::makeJpeg(64, 48));
  testsupport::writeFile(trip / "day2" / "IMG_0002.JPG", testsupport::makeJpeg(48, 64));
  fs::create_directories(media);
  fs::create_directory_symlink(trip, media / "trip");
  fs::create_directory_symlink(media, trip / "up");
  fs::create_directory_symlink("..", trip / "day2" / "loop");
  const auto theirs = mediaFiles();
  const platform::Bytes first = testsupport::readFile(trip / "IMG_0001.JPG");
  const DemoRunResult run = demoRun(aliceOptions());
  EXPECT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  EXPECT_TRUE(mediaFiles() == theirs) << names(mediaFiles());
  EXPECT_EQ(testsupport::readFile(trip / "IMG_0001.JPG"), first);
  EXPECT_NE(run.out.find("ok: 2 photos in the library; sent now: 2 photos in 2 of 2 uploads"), std::string::npos)
      << run.out;
}

// The step's limit is one on silence. A backup that keeps moving goes on
// past it to its end (each upload here waits on the cloud, longer in all
// than the limit) and tells how far it is as it goes; one whose work then
// hears nothing for the limit (the library holds back its answer for the
// next photo) ends as any step that hears nothing does.
TEST_F(SignedRequestCloudTest, ADemoBackupGoesOnWhileItMovesAndEndsWhenNothingMovesForTheLimit) {
  auto clock = demoClock();
  platform::ScopedClock scoped(clock);
  namespace fs = std::filesystem;
  testsupport::makeWholeAddressBook(1);
  const fs::path media = platform::photos::PhotoLibrary::folder();
  constexpr int kPhotos = 10;
  for (int i = 0; i < kPhotos; ++i) {
    testsupport::writeFile(media / ("IMG_" + std::to_string(3000 + i) + ".JPG"), testsupport::makeJpeg(40 + i, 30));
  }
  const std::string uploads = std::string("/lum/gallery/v3/user/") + kUserIdText + "/full";
  localcloud::Fault slow;
  slow.delayMs = 400;
  slow.times = kPhotos;
  server_->faults().set(uploads, slow);
  lumora::DemoOptions options = aliceOptions();
  options.stepLimit = std::chrono::seconds(3);
  options.progressEvery = std::chrono::milliseconds(1);
  const DemoRunResult moving = demoRun(options);
  server_->faults().clear(uploads);
  EXPECT_EQ(moving.status, lumora::kDemoExitOk) << moving.out << moving.err;
  EXPECT_NE(moving.out.find("ok: 10 photos in the library; sent now: 10 photos in 10 of 10 uploads (one per album "
                            "a photo is in), 0 failed, 0 gone from the library meanwhile;"),
            std::string::npos)
      << moving.out;
  for (int done = 1; done <= kPhotos; ++done) {
    char line[64];
    std::snprintf(line, sizeof line, "upload %3d of 10 done\n", done);
    EXPECT_NE(moving.out.find(line), std::string::npos) << line << moving.out;
  }

  testsupport::writeFile(media / "IMG_3010.JPG", testsupport::makeJpeg(60, 30));
  auto& manager = platform::photos::ImageManager::defaultManager();
  manager.setRequestsHeld(true);
  std::thread mover([&] {
    const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
    while (manager.pendingRequestCount() == 0 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    clock->advance(options.stepLimit + std::chrono::seconds(1));
  });
  const DemoRunResult quiet = demoRun(options);
  mover.join();
  manager.setRequestsHeld(false);
  EXPECT_EQ(quiet.status, lumora::kDemoExitUnreachable) << quiet.out << quiet.err;
  EXPECT_NE(quiet.err.find("the cloud cannot be reached at step 9: no answer within 3 s"), std::string::npos)
      << quiet.err;
}

// A photo still in the library that is damaged (100 random bytes), or that
// cannot be read, is neither left out nor told as gone: the backup counts
// it failed and the demo ends as this machine's failure, by the photo's name
// and reason, pointing at that photo, not at the app home. Once the photo
// is whole and readable, the next run sends it.
TEST_F(SignedRequestCloudTest, ADemoTellsAPhotoThatCannotBeReadByItsNameAndSendsItOnceItReads) {
  platform::ScopedClock scoped(demoClock());
  namespace fs = std::filesystem;
  testsupport::makeWholeAddressBook(1);
  const fs::path media = platform::photos::PhotoLibrary::folder();
  testsupport::writeFile(media / "IMG_3000.JPG", testsupport::makeJpeg(40, 30));
  testsupport::writeFile(media / "IMG_3001.JPG", testsupport::makeJpeg(41, 30));
  platform::Bytes noise(100);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 97 + 13);
  struct Case {
    const char* name;
    bool damaged;  // else its reads refused
    const char* told;
    const char* counted;
    const char* failed;
    const char* alsoDamaged;  // another photo that fails in the same run, nullptr for none
  };
  const Case cases[] = {{"broken.jpg", true, "broken.jpg is damaged: it does not read as a photo or video",
                         "4 photos in the library; sent now: 2 photos in 2 of 4 uploads", "2 failed", "broken.png"},
                        {"IMG_0060.JPG", false, "IMG_0060.JPG: cannot be read: permission denied",
                         "4 photos in the library; sent now: 0 photos in 0 of 1 upload", "1 failed", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = media / c.name;
    testsupport::writeFile(file, c.damaged ? noise : testsupport::makeJpeg(50, 30));
    if (c.alsoDamaged) testsupport::writeFile(media / c.alsoDamaged, noise);
    DemoRunResult run;
    {
      testsupport::FileFault refused(testsupport::FileFault::fromOpen(file, 1, c.damaged ? 0 : EACCES));
      run = demoRun(aliceOptions());
    }
    EXPECT_EQ(run.status, lumora::kDemoExitLocalFailure) << run.out << run.err;
    EXPECT_NE(run.out.find(c.counted), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(std::string("is in), ") + c.failed + ", 0 gone from the library meanwhile"),
              std::string::npos)
        << run.out;
    // Each photo that failed is named, as it fails.
    EXPECT_NE(run.out.find("failed: " + std::string(c.told) + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("a step failed on this machine at step 9: " + std::string(c.told)), std::string::npos)
        << run.err;
    if (c.alsoDamaged) {
      EXPECT_NE(run.out.find("failed: " + std::string(c.alsoDamaged) + " is damaged"), std::string::npos) << run.out;
      EXPECT_NE(run.err.find(" (and 1 more, named above)\n  Check the photos named above"), std::string::npos)
          << run.err;
      fs::remove(media / c.alsoDamaged);
    } else {
      EXPECT_NE(run.err.find("Check the photo " + file.string()), std::string::npos) << run.err;
    }
    EXPECT_EQ(run.err.find("Check the app home"), std::string::npos) << run.err;

    if (c.damaged) testsupport::writeFile(file, testsupport::makeJpeg(60, 30));
    run = demoRun(aliceOptions());
    EXPECT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
    EXPECT_NE(run.out.find("sent now: 1 photo in 1 of 1 upload"), std::string::npos) << run.out;
  }
}

// A folder of the library that cannot be read (its listing failing, as on a
// failing disk, its files gone with it; or refused) keeps the photos known
// in it: the backup names it with its reason and ends as this machine's
// failure, for a new folder never seen too. Read again, only the photos it
// hid are sent, and the album keeps its own. Videos count as photos.
TEST_F(SignedRequestCloudTest, ADemoTellsAFolderThatCannotBeReadAndSendsNothingTwiceOnceItReads) {
  platform::ScopedClock scoped(demoClock());
  namespace fs = std::filesystem;
  namespace photos = platform::photos;
  testsupport::makeWholeAddressBook(1);
  const fs::path media = photos::PhotoLibrary::folder();
  const fs::path trip = media / "2023 Trip";
  const fs::path fresh = media / "New";
  testsupport::writeFile(trip / "IMG_0001.JPG", testsupport::makeJpeg(40, 30));
  testsupport::writeFile(trip / "IMG_0002.JPG", testsupport::makeJpeg(41, 30));
  testsupport::writeFile(media / "CLIP_0003.MOV", testsupport::makeMovie(32, 24, 1));  // counted as a photo
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  std::vector<std::string> tripPhotos;
  for (const auto& asset : library->fetchAssetsWithMediaType(photos::MediaType::Image)) {
    if (asset.file.parent_path() == trip) tripPhotos.push_back(asset.localIdentifier);
  }
  ASSERT_EQ(tripPhotos.size(), 2u);
  ASSERT_TRUE(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.addAssets(changes.creationRequestForAssetCollectionWithTitle("Family"), tripPhotos);
  }));
  auto familyMembers = [&] {
    std::vector<std::string> ids;
    const auto albums = library->fetchTopLevelUserCollections();
    if (albums.empty()) return ids;
    for (const auto& asset : library->fetchAssetsInAssetCollection(albums.front())) ids.push_back(asset.localIdentifier);
    return ids;
  };
  auto cloudImages = [&](const std::string& albumName) {
    std::int64_t album = 0;
    for (const auto& a : server_->gallery().records().albums(kUserId)) album = a.name == albumName ? a.id : album;
    std::size_t count = 0;
    for (const auto& image : server_->gallery().records().images(kUserId)) {
      count += image.status == "custom" && (albumName.empty() || image.albumId == album);
    }
    return count;
  };
  DemoRunResult run = demoRun(aliceOptions());
  ASSERT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  ASSERT_EQ(cloudImages("Family"), 2u);

  testsupport::writeFile(trip / "IMG_0004.JPG", testsupport::makeJpeg(43, 30));
  testsupport::writeFile(fresh / "IMG_0005.JPG", testsupport::makeJpeg(44, 30));
  {
    testsupport::FileFault fault([&](const fs::path& path, photos::FileAccess access) {
      if (path == trip) return EIO;
      if (access == photos::FileAccess::Look && path == fresh) return EACCES;
      return testsupport::FileFault::under(trip, ENOENT)(path, access);
    });
    run = demoRun(aliceOptions());
  }
  EXPECT_EQ(run.status, lumora::kDemoExitLocalFailure) << run.out << run.err;
  for (const char* line : {"failed: the folder \"2023 Trip\" cannot be read: input/output error\n",
                           "failed: the folder \"New\" cannot be read: permission denied\n",
                           "3 photos in the library; sent now: 0 photos in 0 of 0 uploads",
                           "; 2 folders of the library could not be read\n"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
  }
  EXPECT_NE(run.err.find("a step failed on this machine at step 9: the folder \"2023 Trip\" cannot be read: "
                         "input/output error (and 1 more, named above)\n  Check the folders and photos named above"),
            std::string::npos)
      << run.err;
  EXPECT_NE(logText().find("the folder \"New\" cannot be read: permission denied"), std::string::npos);

  run = demoRun(aliceOptions());
  EXPECT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  EXPECT_NE(run.out.find("ok: 5 photos in the library; sent now: 2 photos in 2 of 2 uploads"), std::string::npos)
      << run.out;
  EXPECT_EQ(familyMembers(), tripPhotos);
  EXPECT_EQ(cloudImages("Family"), 2u);
  EXPECT_EQ(cloudImages(""), 7u) << "five in the camera album, two in the family one";
}

// A failed photo is named by its place in the library, as camera names
// repeat from folder to folder, and the control characters, bidirectional
// controls and invalid bytes of a name are shown escaped, in the run's
// lines, its closing message and the log; the cloud gets a name as it is.
TEST_F(SignedRequestCloudTest, ADemoNamesAFailedPhotoByItsPlaceInTheLibraryPrintably) {
  platform::ScopedClock scoped(demoClock());
  namespace fs = std::filesystem;
  testsupport::makeWholeAddressBook(1);
  const fs::path media = platform::photos::PhotoLibrary::folder();
  platform::Bytes noise(100);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 89 + 7);
  testsupport::writeFile(media / "2023 Trip" / "IMG_0001.JPG", noise);
  testsupport::writeFile(media / "2024 Trip" / "IMG_0001.JPG", testsupport::makeJpeg(40, 30));
  testsupport::writeFile(media / "zz" / "x\n\x1b]0;owned\x07\xff.jpg", noise);
  // Bidirectional controls: a name that would show reversed ("rtl" U+202E
  // "gpj.exe.JPG" as "rtlGPJ.exe.jpg") in a folder named within an isolate
  // (U+2067 ... U+2069); one of that name that reads goes up as it is.
  const std::string rlo = "\xE2\x80\xAE", rli = "\xE2\x81\xA7", pdi = "\xE2\x81\xA9";
  const std::string reversed = "rtl" + rlo + "gpj.exe.JPG";
  testsupport::writeFile(media / ("b" + rli + "c" + pdi) / reversed, noise);
  testsupport::writeFile(media / reversed, testsupport::makeJpeg(41, 30));
  // The texts of the cloud's that the run prints too: a host of the host
  // list, and this device's name in the list of the account's devices.
  ASSERT_TRUE(server_->setHostList(platform::Json{{"other.example", "x" + rlo + "elpmaxe.com"}}));
  const platform::DeviceFacts saved = platform::Device::configured();
  platform::DeviceFacts named = saved;
  named.name = "Bob" + rlo + "enohp";
  platform::Device::configure(named);
  const DemoRunResult run = demoRun(aliceOptions());
  platform::Device::configure(saved);
  EXPECT_EQ(run.status, lumora::kDemoExitLocalFailure) << run.out << run.err;
  const std::string damaged = " is damaged: it does not read as a photo or video";
  EXPECT_NE(run.out.find("failed: 2023 Trip/IMG_0001.JPG" + damaged + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("failed: zz/x\\n\\x1b]0;owned\\x07\\xff.jpg" + damaged + "\n"), std::string::npos)
      << run.out;
  const std::string shown = "b\\u2067c\\u2069/rtl\\u202egpj.exe.JPG";
  EXPECT_NE(run.out.find("failed: " + shown + damaged + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("ok: host list {\"other.example\":\"x\\u202eelpmaxe.com\"}\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("{\"name\":\"deviceName\",\"value\":\"Bob\\u202eenohp\"}"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("at step 9: 2023 Trip/IMG_0001.JPG" + damaged + " (and 2 more"), std::string::npos)
      << run.err;
  const std::string log = logText();
  EXPECT_NE(log.find("2023 Trip/IMG_0001.JPG" + damaged.substr(0, 12)), std::string::npos);
  EXPECT_NE(log.find("zz/x\\n\\x1b]0;owned\\x07\\xff.jpg"), std::string::npos);
  EXPECT_NE(log.find(shown), std::string::npos);
  for (const std::string& text : {run.out, run.err, log}) {
    EXPECT_EQ(text.find_first_of("\x1b\x07\xff"), std::string::npos) << text;
    for (const std::string& control : {rlo, rli, pdi}) EXPECT_EQ(text.find(control), std::string::npos) << text;
  }
  std::set<std::string> sent;
  for (const auto& image : server_->gallery().records().images(kUserId)) {
    sent.insert(image.content.value("fileName", ""));
  }
  EXPECT_EQ(sent, (std::set<std::string>{"IMG_0001.JPG", reversed}));
}

// The cloud refuses a photo above its 2 GiB (a sparse file here): the photo
// is named with the cloud's answer, and the run goes on to the next one;
// the demo ends as the cloud's refusal.
TEST_F(SignedRequestCloudTest, ADemoNamesAPhotoTheCloudRefusesForItsSizeAndGoesOn) {
  platform::ScopedClock scoped(demoClock());
  namespace fs = std::filesystem;
  testsupport::makeWholeAddressBook(1);
  const fs::path media = platform::photos::PhotoLibrary::folder();
  const fs::path big = media / "2023 Trip" / "IMG_0001.JPG";
  testsupport::writeFile(big, testsupport::makeJpeg(40, 30));
  fs::resize_file(big, (std::uintmax_t{2} << 30) + 1);
  testsupport::writeFile(media / "2024 Trip" / "IMG_0001.JPG", testsupport::makeJpeg(41, 30));
  const DemoRunResult run = demoRun(aliceOptions());
  EXPECT_EQ(run.status, lumora::kDemoExitCloudFailure) << run.out << run.err;
  const std::string refused = "2023 Trip/IMG_0001.JPG: the cloud refused it: size must be 1 byte to 2 GiB";
  EXPECT_NE(run.out.find("failed: " + refused + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("sent now: 1 photo in 1 of 2 uploads"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("the cloud failed a request at step 9: " + refused + "\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("The cloud refused the photo " + big.string()), std::string::npos) << run.err;
  EXPECT_NE(logText().find("2023 Trip/IMG_0001.JPG failed: "), std::string::npos);
}

}  // namespace
}  // namespace signedtest

namespace signedtest {
namespace {

// Told that its output is a terminal (main's output has no descriptor of
// its own to ask), the demo redraws the contact sync's and the backup's
// bars in place rather than print a line each quarter.
TEST_F(SignedRequestCloudTest, ADemoToldItsOutputIsATerminalRedrawsItsBarsInPlace) {
  platform::ScopedClock scoped(demoClock());
  testsupport::makeWholeAddressBook(1);
  testsupport::writeFile(platform::photos::PhotoLibrary::folder() / "IMG_3200.JPG", testsupport::makeJpeg(40, 30));
  lumora::DemoOptions options = aliceOptions();
  options.outputIsTerminal = true;
  const DemoRunResult run = demoRun(options);
  EXPECT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  EXPECT_NE(run.out.find("\r    [##"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\r    uploads [=="), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1/1   IMG_3200.JPG"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("upload   1 of 1 done"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("100%  saved\n"), std::string::npos) << run.out;
}

// A backup tells how far it is at least once each `progressEvery`, also
// while one photo takes longer than that to read and nothing is reported
// meanwhile.
TEST_F(SignedRequestCloudTest, ADemoBackupTellsHowFarItIsWhileAPhotoTakesLongerThanItsInterval) {
  auto clock = demoClock();
  platform::ScopedClock scoped(clock);
  testsupport::makeWholeAddressBook(1);
  const std::filesystem::path media = platform::photos::PhotoLibrary::folder();
  for (int i = 0; i < 3; ++i) {
    testsupport::writeFile(media / ("IMG_" + std::to_string(3100 + i) + ".JPG"), testsupport::makeJpeg(40 + i, 30));
  }
  lumora::DemoOptions options = aliceOptions();
  options.progressEvery = std::chrono::seconds(30);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(err, nullptr);
  const auto printed = [](std::FILE* file) {
    std::string text(1 << 16, '\0');
    const ssize_t got = pread(fileno(file), text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
  };
  const auto waitUntil = [](const std::function<bool()>& reached) {
    const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
    while (!reached() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return reached();
  };
  const std::string waiting = "upload   0 of 3 done\n";
  auto& manager = platform::photos::ImageManager::defaultManager();
  manager.setRequestsHeld(true);
  std::atomic<bool> toldWhileHeld{false};
  std::thread mover([&] {
    if (waitUntil([&] { return manager.pendingRequestCount() > 0; })) {
      // Past the interval, short of the library's own limit on an answer.
      clock->advance(std::chrono::seconds(31));
      toldWhileHeld = waitUntil([&] { return printed(out).find(waiting) != std::string::npos; });
    }
    manager.setRequestsHeld(false);
  });
  const int status = lumora::DemoJob(options, out, err).run();
  mover.join();
  lumora::QBLogUtil::stopLog();
  EXPECT_EQ(status, lumora::kDemoExitOk) << printed(out) << printed(err);
  EXPECT_TRUE(toldWhileHeld.load()) << printed(out);
  EXPECT_NE(printed(out).find("sent now: 3 photos in 3 of 3 uploads"), std::string::npos) << printed(out);
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
}  // namespace signedtest
