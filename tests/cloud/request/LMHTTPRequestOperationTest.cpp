// The operation's life: a cancel before the start ends it without sending,
// with exactly one completion however often it is started or cancelled; and
// the serializer it decodes with.
#include <gtest/gtest.h>

#include "cloud/request/LMHTTPRequestOperation.h"
#include "cloud/request/LMJsonResponseSerialization.h"
#include "platform/http/UrlError.h"
#include "utils/AESCrypt.h"
#include "utils/LMAESCoder.h"

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

TEST(LMHTTPRequestOperation, AChangedSerializerIsTheOperationsOwn) {
  // Operations share the default serializer until one asks for its own: a
  // change to that one decodes that operation's reply only.
  const std::string key = base64Encoding(platform::toBytes("0123456789abcdef"));
  const platform::Bytes body = platform::toBytes(*LMAESCoder(key).encryptString(R"({"a":null})"));
  platform::http::Request request;
  request.url = "http://127.0.0.1:1/lum/x";
  LMHTTPRequestOperation changed(request, "lumora", LMSignedSession{"1", "t", key});
  LMHTTPRequestOperation plain(request, "lumora", LMSignedSession{"1", "t", key});
  auto serializer = std::dynamic_pointer_cast<LMJsonResponseSerialization>(changed.responseSerializer());
  ASSERT_TRUE(serializer);
  serializer->setRemovesKeysWithNullValues(true);
  EXPECT_EQ(changed.responseSerializer(), serializer);
  for (auto* operation : {&changed, &plain}) operation->setResponseData(body);
  EXPECT_EQ(changed.responseObject(), platform::Json::object());
  EXPECT_EQ(plain.responseObject(), (platform::Json{{"a", nullptr}}));
}

}  // namespace
