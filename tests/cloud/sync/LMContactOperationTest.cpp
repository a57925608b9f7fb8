#include <gtest/gtest.h>

#include "cloud/sync/LMContactOperation.h"
#include "cloud/model/LMGroup.h"
#include "utils/LMUtils.h"
#include "support/TestHome.h"

namespace {

using namespace lumora;
using platform::Json;

class LMContactOperationTest : public ::testing::Test {
 protected:
  static std::shared_ptr<LMGroup> group() {
    auto record = std::make_shared<LMGroup>();
    record->name = "Friends";
    record->serverID = 9001;
    record->sync = 42;
    record->recordID = 5;
    return record;
  }

  static Json dataOf(const Json& parameters) {
    return *LMUtils::jsonObjectFromString(parameters.at("data").get<std::string>());
  }

  testsupport::TestHome home;
};

TEST_F(LMContactOperationTest, PathsByType) {
  auto record = group();
  const std::optional<std::string> user = "77";
  EXPECT_EQ(LMContactOperation(record, LMContactOperation::kTypeAdd).path(user),
            "/lum/contact/v2/user/77/full");
  EXPECT_EQ(LMContactOperation(record, LMContactOperation::kTypeModify).path(user),
            "/lum/contact/v2/user/77/full/9001");
  EXPECT_EQ(LMContactOperation(record, LMContactOperation::kTypeDelete).path(user),
            "/lum/contact/v2/user/77/full/9001/delete");
  EXPECT_FALSE(LMContactOperation(record, 4).path(user));

  record->serverID.reset();
  EXPECT_FALSE(LMContactOperation(record, LMContactOperation::kTypeDelete).path(user));
  EXPECT_FALSE(LMContactOperation(record, LMContactOperation::kTypeModify).path(user));
  EXPECT_TRUE(LMContactOperation(record, LMContactOperation::kTypeAdd).path(user));

  EXPECT_FALSE(LMContactOperation().path(user));
  EXPECT_FALSE(LMContactOperation(group(), LMContactOperation::kTypeAdd).path(std::nullopt));
  EXPECT_FALSE(LMContactOperation(group(), LMContactOperation::kTypeAdd).path(std::string()));
}

TEST_F(LMContactOperationTest, AddDropsTheTagModifyKeepsIt) {
  auto record = group();
  auto add = LMContactOperation(record, LMContactOperation::kTypeAdd).dictionaryForLumoraJSON();
  ASSERT_TRUE(add);
  EXPECT_EQ((*add)["ckey"], "5");
  EXPECT_FALSE(add->contains("purge"));
  Json sent = dataOf(*add);
  EXPECT_FALSE(sent["content"].contains("tag"));
  EXPECT_EQ(sent["content"]["title"], "Friends");
  // The caller's record is untouched.
  EXPECT_EQ(record->sync, 42);

  auto modify = LMContactOperation(record, LMContactOperation::kTypeModify).dictionaryForLumoraJSON();
  ASSERT_TRUE(modify);
  EXPECT_EQ(dataOf(*modify)["content"]["tag"], 42);
  EXPECT_EQ((*modify)["ckey"], "5");
}

TEST_F(LMContactOperationTest, DeleteSendsPurgeAndNoKey) {
  LMContactOperation operation(group(), LMContactOperation::kTypeDelete);
  auto plain = operation.dictionaryForLumoraJSON();
  ASSERT_TRUE(plain);
  EXPECT_EQ((*plain)["purge"], "0");
  EXPECT_FALSE(plain->contains("ckey"));
  operation.setPurge(true);
  EXPECT_EQ((*operation.dictionaryForLumoraJSON())["purge"], "1");
}

TEST_F(LMContactOperationTest, MissingRecordIdSendsZeroWithoutChangingTheRecord) {
  auto record = group();
  record->recordID.reset();
  auto parameters = LMContactOperation(record, LMContactOperation::kTypeAdd).dictionaryForLumoraJSON();
  ASSERT_TRUE(parameters);
  EXPECT_EQ((*parameters)["ckey"], "0");
  EXPECT_FALSE(record->recordID);
}

TEST_F(LMContactOperationTest, WithoutTypeOnlyDataWithoutRecordNothing) {
  LMContactOperation operation;
  EXPECT_EQ(operation.type(), 0);
  EXPECT_FALSE(operation.purge());
  EXPECT_FALSE(operation.dictionaryForLumoraJSON());
  operation.setRecord(group());
  EXPECT_FALSE(operation.path(std::string("77")));
  auto parameters = operation.dictionaryForLumoraJSON();
  ASSERT_TRUE(parameters);
  EXPECT_EQ(parameters->size(), 1u);
  EXPECT_TRUE(parameters->contains("data"));
}

}  // namespace
