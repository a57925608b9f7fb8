// The operation's life: a cancel before the start ends it without sending,
// with exactly one completion however often it is started or cancelled.
#include <gtest/gtest.h>

#include "cloud/request/LMHTTPRequestOperation.h"
#include "platform/http/UrlError.h"

namespace {

using namespace lumora;

TEST(LMHTTPRequestOperation, ACancelledOperationEndsOnceWithoutSending) {
  platform::http::Request request;
  request.url = "http://127.0.0.1:1/lum/x";  // nothing listens: a send would fail otherwise
  LMHTTPRequestOperation operation(request, "lumora", LMSignedSession{"1", "t", "k"});
  int completions = 0;
  operation.setCompletionBlock([&](LMHTTPRequestOperation& ended) {
    ++completions;
    EXPECT_TRUE(ended.isFinished());
  });
  operation.cancel();
  EXPECT_TRUE(operation.isCancelled());
  operation.start();
  operation.start();
  operation.cancel();
  EXPECT_EQ(completions, 1);
  ASSERT_TRUE(operation.error());
  EXPECT_EQ(operation.error()->code(), platform::http::kUrlErrorCancelled);
  EXPECT_FALSE(operation.response());
  EXPECT_FALSE(operation.result().ok());
}

}  // namespace
