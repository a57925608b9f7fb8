// The demo's main job against the local cloud: a step that brings no answer
// in time is reported as a failure and its request is cancelled.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "SignedRequestFixture.h"
#include "app/demo/DemoJob.h"
#include "feedback/QBLogUtil.h"

namespace signedtest {
namespace {

TEST_F(SignedRequestCloudTest, ADemoStepWithoutAnAnswerInTimeFailsTheDemo) {
  // The relocation service sits on the request far longer than the demo waits.
  localcloud::Fault slow;
  slow.delayMs = 20000;
  slow.times = 1;
  server_->faults().set("/lum/relocation/v3/user/10001/record", slow);

  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  ASSERT_TRUE(out);
  lumora::DemoOptions options;
  options.login = "alice";
  options.password = "secret";
  options.stepLimit = std::chrono::milliseconds(300);
  int status = lumora::DemoJob(options, out).run();
  std::fclose(out);
  std::string printed(text, size);
  std::free(text);
  lumora::QBLogUtil::stopLog();

  EXPECT_EQ(status, 1) << printed;
  EXPECT_NE(printed.find("FAILED: no answer within 0.3 s"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("ok: no relocation"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("registering this device"), std::string::npos) << printed;
}

}  // namespace
}  // namespace signedtest
