#include "blackbox/BBXSettings.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/device/Bundle.h"

namespace {

using lumora::BBXSettings;

class BBXSettingsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("BlackboxSubmitReports");
    unsetenv("BlackboxReportsEndpoint");
    platform::Bundle::reset();
  }
};

TEST_F(BBXSettingsTest, AbsentDocumentGivesEveryDefaultAndPresentValuesAreRead) {
  const BBXSettings none(std::nullopt);
  EXPECT_TRUE(none.crashReportingEnabled());
  EXPECT_TRUE(none.errorReportingEnabled());
  EXPECT_TRUE(none.customExceptionsEnabled());
  EXPECT_FALSE(none.userPromptEnabled());
  EXPECT_EQ(none.logBufferSize(), 65536u);
  EXPECT_EQ(none.errorLogBufferSize(), 65536u);
  EXPECT_EQ(none.maxCustomExceptions(), 16u);
  EXPECT_EQ(none.maxCustomKeys(), 16u);
  EXPECT_EQ(none.betaSuspendDuration(), 3600);
  EXPECT_TRUE(none.shouldPackageReports() && none.shouldSubmitReports() && none.canProcessUrgentReports());
  EXPECT_EQ(none.reportsEndpoint().rfind("https://", 0), 0u);

  const BBXSettings set(nlohmann::json{
      {"features", {{"collect_reports", false}, {"collect_logged_exceptions", 0}, {"prompt_enabled", true}}},
      {"session", {{"log_buffer_size", 1024}, {"max_custom_exception_events", 3}, {"max_custom_key_value_pairs", "9"}}},
      {"beta", {{"update_suspend_duration", 60.5}}}});
  EXPECT_FALSE(set.crashReportingEnabled());
  EXPECT_FALSE(set.customExceptionsEnabled());
  EXPECT_TRUE(set.userPromptEnabled());
  EXPECT_EQ(set.errorLogBufferSize(), 1024u);
  EXPECT_EQ(set.maxCustomExceptions(), 3u);
  EXPECT_EQ(set.maxCustomKeys(), 9u);
  EXPECT_EQ(set.betaSuspendDuration(), 60.5);
}

TEST_F(BBXSettingsTest, EnvironmentOverridesInfoWhichOverridesDefaults) {
  const std::string fallback = BBXSettings(std::nullopt).reportsEndpoint();
  platform::Bundle::setInfoValue("Blackbox", {{"ReportsEndpoint", "https://reports.example"}, {"UrgentReports", "no"}});
  const BBXSettings settings(std::nullopt);
  EXPECT_EQ(settings.reportsEndpoint(), "https://reports.example");
  EXPECT_NE(settings.reportsEndpoint(), fallback);
  EXPECT_FALSE(settings.canProcessUrgentReports());

  setenv("BlackboxSubmitReports", "NO", 1);
  setenv("BlackboxReportsEndpoint", "http://127.0.0.1:1", 1);
  EXPECT_EQ(settings.reportsEndpoint(), "http://127.0.0.1:1");
  for (int read = 0; read < 2; ++read) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(settings.shouldSubmitReports());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("SubmitReports"), std::string::npos) << read;
  }

  struct BoolCase {
    const char* text;
    bool value;
  };
  for (const BoolCase& c : {BoolCase{"YES", true}, BoolCase{" +007", true}, BoolCase{"true", true},
                            BoolCase{"0", false}, BoolCase{"no", false}, BoolCase{"", false}}) {
    EXPECT_EQ(BBXSettings::boolValue(c.text), c.value) << c.text;
  }
}

TEST_F(BBXSettingsTest, PromptTextsComeFromTheServiceThenThroughTheStringsTable) {
  const BBXSettings defaults(std::nullopt);
  const BBXSettings titled(nlohmann::json{{"prompt", {{"title", "From the service"}}}});
  EXPECT_EQ(titled.interactivePromptTitle(), "From the service");
  EXPECT_NE(defaults.interactivePromptTitle(), titled.interactivePromptTitle());
  EXPECT_EQ(titled.interactivePromptMessage(), defaults.interactivePromptMessage());
  EXPECT_EQ(titled.interactivePromptCancelTitle(), defaults.interactivePromptCancelTitle());
  EXPECT_EQ(titled.interactivePromptSendTitle(), defaults.interactivePromptSendTitle());
  EXPECT_EQ(titled.interactivePromptAlwaysSendTitle(), defaults.interactivePromptAlwaysSendTitle());
  EXPECT_FALSE(defaults.interactivePromptMessage().empty());

  platform::Bundle::setLocalizedStrings("Blackbox", {{"BlackboxCrashSubmissionPromptTitle", "From the app"}});
  EXPECT_EQ(titled.interactivePromptTitle(), "From the app");
  EXPECT_EQ(titled.interactivePromptSendTitle(), defaults.interactivePromptSendTitle());
}

}  // namespace
