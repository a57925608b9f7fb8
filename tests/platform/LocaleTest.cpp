#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/device/Locale.h"

namespace {

// Sets or clears one environment variable for the test's length.
class LocaleEnvironment {
 public:
  LocaleEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~LocaleEnvironment() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(LocaleTest, IdentifierComesFromConfigurationOrTheEnvironment) {
  LocaleEnvironment all("LC_ALL", nullptr);
  LocaleEnvironment messages("LC_MESSAGES", nullptr);
  const std::pair<const char*, const char*> cases[] = {
      {"de_DE.UTF-8", "de_DE"}, {"sr_RS@latin", "sr_RS"}, {"C", "en_US"}, {"POSIX", "en_US"}, {"", "en_US"}};
  for (const auto& [lang, identifier] : cases) {
    LocaleEnvironment env("LANG", lang);
    EXPECT_EQ(platform::Locale::currentIdentifier(), identifier) << lang;
  }
  LocaleEnvironment env("LANG", "fr_FR.UTF-8");
  platform::Locale::configure("ja_JP");
  EXPECT_EQ(platform::Locale::currentIdentifier(), "ja_JP");
  platform::Locale::configure(std::nullopt);
  EXPECT_EQ(platform::Locale::currentIdentifier(), "fr_FR");
}

}  // namespace
