#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/NotificationCenter.h"

namespace {

using platform::Json;
using platform::NotificationCenter;
using platform::ObserverToken;

TEST(NotificationCenter, DeliversSynchronouslyToObserversOfTheNameInOrder) {
  NotificationCenter center;
  std::vector<std::string> calls;
  std::thread::id deliveredOn;
  center.addObserver("LMPassportDidLoginNotification", [&](const std::string& name, const Json& info) {
    calls.push_back("first " + name + " " + info.value("type", ""));
    deliveredOn = std::this_thread::get_id();
  });
  center.addObserver("LMPassportLogoutNotification", [&](const std::string&, const Json&) {
    calls.push_back("logout");
  });
  center.addObserver("LMPassportDidLoginNotification", [&](const std::string&, const Json& info) {
    calls.push_back("second " + info.value("type", ""));
  });

  center.post("LMPassportDidLoginNotification", {{"type", "photos"}});
  EXPECT_EQ(calls, (std::vector<std::string>{"first LMPassportDidLoginNotification photos",
                                              "second photos"}));
  EXPECT_EQ(deliveredOn, std::this_thread::get_id());

  center.post("nobody listens");
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_EQ(center.addObserver("x", nullptr), 0u);
  center.removeObserver(12345);  // unknown tokens are ignored
  center.removeObserver(0);
}

TEST(NotificationCenter, ObserversMayBeRemovedAndAddedDuringDelivery) {
  NotificationCenter center;
  std::vector<std::string> calls;
  ObserverToken self = 0, later = 0;
  self = center.addObserver("n", [&](const std::string&, const Json&) {
    calls.push_back("self");
    center.removeObserver(self);  // its own callback stays alive until it returns
    calls.push_back("self still running");
  });
  center.addObserver("n", [&](const std::string&, const Json&) {
    calls.push_back("remover");
    center.removeObserver(later);
    center.addObserver("n", [&](const std::string&, const Json&) { calls.push_back("added"); });
  });
  later = center.addObserver("n", [&](const std::string&, const Json&) { calls.push_back("later"); });

  center.post("n");
  EXPECT_EQ(calls, (std::vector<std::string>{"self", "self still running", "remover"}));

  calls.clear();
  center.post("n");
  // The remover adds another observer on every post; it is heard from the next post on.
  EXPECT_EQ(calls, (std::vector<std::string>{"remover", "added"}));
}

TEST(NotificationCenter, ConcurrentPostsAndRemovalsAreSafe) {
  NotificationCenter center;
  std::atomic<int> delivered{0};
  std::atomic<bool> stop{false};
  std::thread poster([&] {
    while (!stop) center.post("n", {{"k", 1}});
  });
  for (int i = 0; i < 2000; ++i) {
    auto token = center.addObserver("n", [&](const std::string&, const Json& info) {
      delivered += info.value("k", 0);
    });
    center.removeObserver(token);
  }
  auto keep = center.addObserver("n", [&](const std::string&, const Json&) { stop = true; });
  poster.join();
  center.removeObserver(keep);
  EXPECT_TRUE(stop);
}

TEST(NotificationCenter, DefaultCenterIsShared) {
  auto& center = NotificationCenter::defaultCenter();
  EXPECT_EQ(&center, &NotificationCenter::defaultCenter());
  int calls = 0;
  auto token = center.addObserver("kAddressBookChanged", [&](const std::string&, const Json&) { ++calls; });
  NotificationCenter::defaultCenter().post("kAddressBookChanged");
  center.removeObserver(token);
  NotificationCenter::defaultCenter().post("kAddressBookChanged");
  EXPECT_EQ(calls, 1);
}

}  // namespace
