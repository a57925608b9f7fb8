// Remote-notification registration of the application stand-in: the call
// each system version offers, and the push service's answers reaching the
// app delegate only while registered.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/app/Application.h"
#include "platform/device/Device.h"
#include "platform/dispatch/MainQueue.h"

namespace {

using platform::Application;

class RemoteNotifications : public ::testing::Test {
 protected:
  void SetUp() override {
    Application::shared().resetForTesting();
    platform::MainQueue::main().bindToCurrentThread();
    delegate_->didRegisterForRemoteNotificationsWithDeviceToken = [this](const platform::Bytes& token) {
      tokens_.push_back(token);
    };
    delegate_->didReceiveRemoteNotification = [this](const platform::Json& info) { notifications_.push_back(info); };
    Application::shared().setDelegate(delegate_);
  }
  void TearDown() override {
    Application::shared().resetForTesting();
    platform::Device::configure({});
  }

  std::shared_ptr<platform::ApplicationDelegate> delegate_ = std::make_shared<platform::ApplicationDelegate>();
  std::vector<platform::Bytes> tokens_;
  std::vector<platform::Json> notifications_;
};

TEST_F(RemoteNotifications, EachSystemVersionOffersItsOwnCallAndTokensComeOnlyWhileRegistered) {
  auto& app = Application::shared();
  const platform::Bytes token{0xAB, 0x01};
  EXPECT_FALSE(app.deliverDeviceToken(token));

  platform::DeviceFacts facts;
  facts.systemVersion = "7.1.2";
  platform::Device::configure(facts);
  EXPECT_FALSE(app.registerUserNotificationSettings(7));
  EXPECT_FALSE(app.registerForRemoteNotifications());
  EXPECT_TRUE(app.registerForRemoteNotificationTypes(3));
  EXPECT_EQ(app.enabledRemoteNotificationTypes(), 3u);

  facts.systemVersion = "10.0";
  platform::Device::configure(facts);
  EXPECT_FALSE(app.registerForRemoteNotificationTypes(3));
  EXPECT_TRUE(app.registerUserNotificationSettings(7));
  EXPECT_TRUE(app.registerForRemoteNotifications());
  EXPECT_EQ(app.currentUserNotificationTypes(), 7u);
  EXPECT_EQ(app.remoteNotificationRegistrationCount(), 2);

  EXPECT_TRUE(app.deliverDeviceToken(token));
  app.deliverRemoteNotification(platform::Json{{"_id_", "m1"}});
  EXPECT_TRUE(tokens_.empty()) << "answers arrive through the main queue";
  platform::MainQueue::main().runUntilIdle();
  ASSERT_EQ(tokens_.size(), 1u);
  EXPECT_EQ(tokens_[0], token);
  ASSERT_EQ(notifications_.size(), 1u);
  EXPECT_EQ(notifications_[0]["_id_"], "m1");

  // A system whose push service answers by itself: each registration
  // brings its token.
  const platform::Bytes issued(32, 0x5A);
  app.setIssuedDeviceToken(issued);
  EXPECT_TRUE(app.registerForRemoteNotifications());
  platform::MainQueue::main().runUntilIdle();
  ASSERT_EQ(tokens_.size(), 2u);
  EXPECT_EQ(tokens_[1], issued);
  app.setIssuedDeviceToken(std::nullopt);

  app.unregisterForRemoteNotifications();
  EXPECT_FALSE(app.isRegisteredForRemoteNotifications());
  EXPECT_FALSE(app.deliverDeviceToken(token));
  delegate_.reset();  // held weakly: a gone delegate hears nothing
  app.deliverRemoteNotification(platform::Json{{"_id_", "m2"}});
  platform::MainQueue::main().runUntilIdle();
  EXPECT_EQ(notifications_.size(), 1u);
}

}  // namespace
