// The statistics crash record's upload to the local cloud's "/kocrash",
// which checks every field and the digest: when it goes up, what it sends,
// and when the record is deleted.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/device/Bundle.h"
#include "platform/device/Reachability.h"
#include "server/CloudServer.h"
#include "stats/KoACrashReportStore.h"
#include "stats/KoACrashReportUpload.h"
#include "stats/KoStatCoreParam.h"
#include "stats/KoStatCrashController.h"
#include "stats/KoStatCrashReporter.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

using lumora::KoACrashMessage;
using lumora::KoACrashReportStore;
using lumora::KoACrashReportUpload;
using lumora::KoANetworkUtils;
using lumora::KoStatCrashController;

class StatCrashUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    platform::Bundle::setInfoValue("KoSDKAppID", "2882303761517");
    platform::Bundle::setInfoValue("KoSDKAppKey", "5601751");
    server_ = localcloud::CloudServer::create(home_.root() / "cloud");
    ASSERT_TRUE(server_ && server_->start(0));
    transport_ = std::make_unique<KoANetworkUtils>(server_->url());
    upload_ = std::make_unique<KoACrashReportUpload>(*transport_);
  }
  void TearDown() override {
    upload_.reset();
    server_->stop();
    platform::Bundle::reset();
  }

  void writeRecord() {
    KoACrashMessage message;
    message.objAppInfo = lumora::KoACMAppInfo::current();
    message.objState.nAppRunTime = 12;
    message.objState.nCrashTime = 12.5;
    message.objException.strType = "signal:11 -->segmentation violation";
    message.objException.strDesc = "NULL";
    message.objException.arrCallStack = {{"0   lumora 0x1 main + 1"}};
    store_.saveCrashMessage(message);
  }
  // Waits for the uploads queued so far (and their reports).
  void drain() { upload_->getTaskQueue().sync([] {}); }
  std::size_t received() const { return server_->stats().received("/kocrash").size(); }

  testsupport::TestHome home_;
  KoACrashReportStore& store_ = KoACrashReportStore::shareSingletion();
  std::unique_ptr<localcloud::CloudServer> server_;
  std::unique_ptr<KoANetworkUtils> transport_;
  std::unique_ptr<KoACrashReportUpload> upload_;
};

TEST_F(StatCrashUpload, TheModeDecidesWhetherAPendingRecordGoesUpAtOnce) {
  struct Case {
    int mode;
    bool pending;
    bool sent;
  } cases[] = {{0, true, true}, {1, true, false}, {2, true, false}, {0, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    server_->stats().clearReceived();
    store_.deleteCrashFile();
    if (c.pending) writeRecord();
    EXPECT_EQ(lumora::KoStatCrashReporter::hasPendingCrashReport(), c.pending);
    KoStatCrashController controller(*upload_);
    controller.enabledCrashReportWithMode(c.mode);
    drain();
    EXPECT_EQ(received(), c.sent ? 1u : 0u);
    EXPECT_EQ(store_.hasCrashFile(), c.pending && !c.sent);
    EXPECT_EQ(controller.isSyncUpload(), c.mode == 1);
  }
  // Asked for by hand with nothing pending: nothing goes.
  KoStatCrashController controller(*upload_);
  controller.uploadCrashReport();
  drain();
  EXPECT_EQ(received(), 0u);
}

TEST_F(StatCrashUpload, TheRecordIsDeletedOnlyOnceTheServiceAcceptedIt) {
  KoStatCrashController controller(*upload_);
  writeRecord();

  // Without a network, or refused by the service (no app id): kept.
  platform::Reachability::overrideStatus(platform::NetworkStatus::NotReachable);
  controller.uploadCrashReport();
  drain();
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
  platform::Bundle::removeInfoValue("KoSDKAppID");
  controller.uploadCrashReport();
  drain();
  EXPECT_TRUE(store_.hasCrashFile());
  EXPECT_EQ(received(), 0u);

  platform::Bundle::setInfoValue("KoSDKAppID", "2882303761517");
  controller.uploadCrashReport();
  controller.uploadCrashReport();  // while the first is on its way: not posted twice
  drain();
  EXPECT_FALSE(store_.hasCrashFile());
  auto forms = server_->stats().received("/kocrash");
  ASSERT_EQ(forms.size(), 1u);
  EXPECT_EQ(forms[0].field("app_start_time"), "12000");
  EXPECT_EQ(forms[0].field("app_crash_time"), "12500");
  EXPECT_EQ(forms[0].field("device_uuid"), lumora::KoStatCoreParam::getDeviceIMEI());
  EXPECT_TRUE(forms[0].has("app_channel"));
  EXPECT_EQ(forms[0].field("crash_exception_desc").substr(0, 5), "NULL ");
  EXPECT_NE(forms[0].field("crash_callstack").find("main + 1"), std::string::npos);

  // An empty device identifier leaves its field out.
  auto form = KoACrashReportUpload::crashForm(KoACrashMessage(), "");
  for (const auto& [name, value] : form) EXPECT_NE(name, "device_uuid");
  EXPECT_EQ(form.size(), 11u);
}

// A folder, with a file in it, at the name of a file written anew at each
// crash (the handler's note, the record): the next launch clears the name
// (the record's as an unreadable record is set aside), and the crash after
// is recorded and goes up at the launch after that.
TEST_F(StatCrashUpload, AFolderAtTheNameOfACrashFileCostsNoLaterCrash) {
  for (const std::filesystem::path& name : {store_.getNotePath(), store_.getPath()}) {
    SCOPED_TRACE(name.filename().string());
    server_->stats().clearReceived();
    testsupport::writeFile(name / "inside" / "a file", platform::toBytes("left there\n"));
    KoStatCrashController launch(*upload_);
    launch.enabledCrashReportWithMode(0);
    drain();
    EXPECT_EQ(received(), 0u);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(name)));
    // A crash by signal: its handler writes the note.
    lumora::KoACrashSignalHandler(SIGSEGV, nullptr, nullptr);
    KoStatCrashController next(*upload_);
    next.enabledCrashReportWithMode(0);
    drain();
    const auto forms = server_->stats().received("/kocrash");
    ASSERT_EQ(forms.size(), 1u);
    EXPECT_NE(forms[0].field("crash_exception_type").find("signal:11"), std::string::npos)
        << forms[0].field("crash_exception_type");
    EXPECT_FALSE(store_.hasCrashFile());
  }
}

}  // namespace
