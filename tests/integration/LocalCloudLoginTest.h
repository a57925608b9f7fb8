// A login test against the local cloud: each test starts as a fresh app
// whose account hosts are a local cloud of its own (over a data directory in
// the test's home), and ends once every running account exchange has ended.
#pragma once

#include <memory>
#include <string>

#include "account/LoginTestSupport.h"
#include "server/CloudServer.h"

namespace logintest {

class LocalCloudLoginTest : public LoginTest {
 protected:
  void SetUp() override {
    std::string error;
    server_ = localcloud::CloudServer::create(home_.root() / "cloud", &error);
    ASSERT_TRUE(server_) << error;
    ASSERT_TRUE(server_->start(0, &error)) << error;
    startClean(server_->url());
  }
  void TearDown() override {
    drainExchanges();
    if (server_) server_->stop();
    finishClean();
  }

  std::unique_ptr<localcloud::CloudServer> server_;
};

}  // namespace logintest
