#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "utils/ServiceHosts.h"
#include "support/TestHome.h"

namespace {

using lumora::ServiceHosts;

class ServiceHostsTest : public ::testing::Test {
 protected:
  void TearDown() override { ServiceHosts::reset(); }
  testsupport::TestHome home_;
};

TEST_F(ServiceHostsTest, OverridesWinOverFileAndFileOverDefault) {
  EXPECT_EQ(ServiceHosts::baseURL(ServiceHosts::kCloud), ServiceHosts::kDefaultBaseURL);
  EXPECT_FALSE(ServiceHosts::hostsFileProblem());
  std::ofstream(home_.root() / "hosts.json") << R"({"cloud": )";
  EXPECT_TRUE(ServiceHosts::hostsFileProblem());  // a broken file is told, then ignored
  std::ofstream(home_.root() / "hosts.json") << R"({"cloud": "http://10.1.2.3:99/", "account": 5})";
  // Another modification time than the broken file's, so it is read again.
  std::filesystem::last_write_time(home_.root() / "hosts.json", std::filesystem::file_time_type::clock::now() -
                                                                    std::chrono::hours(1));
  EXPECT_FALSE(ServiceHosts::hostsFileProblem());
  EXPECT_EQ(ServiceHosts::baseURL(ServiceHosts::kCloud), "http://10.1.2.3:99");
  // A value of the wrong type is ignored, not fatal.
  EXPECT_EQ(ServiceHosts::baseURL(ServiceHosts::kAccount), ServiceHosts::kDefaultBaseURL);
  ServiceHosts::setAll("http://127.0.0.1:4000");
  EXPECT_EQ(ServiceHosts::baseURL(ServiceHosts::kAccount), "http://127.0.0.1:4000");
  EXPECT_EQ(ServiceHosts::baseURL(ServiceHosts::kCloud), "http://10.1.2.3:99");
  ServiceHosts::set(ServiceHosts::kCloud, "http://127.0.0.1:5000");
  EXPECT_EQ(ServiceHosts::baseURL(ServiceHosts::kCloud), "http://127.0.0.1:5000");
}

TEST_F(ServiceHostsTest, HostsAndCookieDomain) {
  EXPECT_EQ(ServiceHosts::hostOfURL("https://user@account.example.com:443/pass?x=1"), "account.example.com");
  EXPECT_EQ(ServiceHosts::hostOfURL("http://[::1]:8080/"), "::1");
  EXPECT_EQ(ServiceHosts::hostOfURL("relative/path"), "");
  ServiceHosts::set(ServiceHosts::kAccount, "https://account.example.com");
  EXPECT_EQ(ServiceHosts::accountCookieDomain(), ".account.example.com");
  ServiceHosts::set("accountCookieDomain", "example.com");
  EXPECT_EQ(ServiceHosts::accountCookieDomain(), ".example.com");
}

TEST_F(ServiceHostsTest, FeedbackCallbackAndCookieDomainFollowTheFeedbackHost) {
  struct Case {
    const char* base;
    const char* callback;
    const char* domain;
  };
  for (const auto& c : std::vector<Case>{
           {"https://feedback.lumora.example.com", "http://feedback.lumora.example.com/sts", ".lumora.example.com"},
           {"https://feedback.example", "http://feedback.example/sts", ".feedback.example"},
           {"http://127.0.0.1:8765", "http://127.0.0.1:8765/sts", ".127.0.0.1"}}) {
    ServiceHosts::set(ServiceHosts::kFeedback, c.base);
    EXPECT_EQ(ServiceHosts::feedbackCallbackURL(), c.callback) << c.base;
    EXPECT_EQ(ServiceHosts::feedbackCookieDomain(), c.domain) << c.base;
  }
  ServiceHosts::set(ServiceHosts::kFeedbackCallback, "http://sts.example.com");
  ServiceHosts::set("feedbackCookieDomain", "example.com");
  EXPECT_EQ(ServiceHosts::feedbackCallbackURL(), "http://sts.example.com/sts");
  EXPECT_EQ(ServiceHosts::feedbackCookieDomain(), ".example.com");
}

}  // namespace
