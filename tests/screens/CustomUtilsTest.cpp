// The screens' toolbox: failure messages by code (the 503 wait included,
// with absurd waits bounded), byte texts, the upright redraw of every
// orientation, device-size image names, free space and local
// notifications; the string tables take the same arguments in every
// language; scenes come from the registry.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include <nlohmann/json.hpp>

#include "cloud/model/LMContact.h"
#include "cloud/request/LMHTTPResponseSerialization.h"
#include "platform/app/Application.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMStoryboard.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"
#include "utils/LMErrors.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

class CustomUtilsTest : public ::testing::Test {
 protected:
  ~CustomUtilsTest() override {
    LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    platform::Application::shared().resetForTesting();
  }
  testsupport::TestHome home_;
};

std::string utilsText(const char* key) { return ui::localizedString(key); }
std::string utilsFormat(const char* key, ui::FormatArgument argument) {
  return ui::stringWithFormat(ui::localizedString(key), {std::move(argument)});
}

TEST_F(CustomUtilsTest, ErrorsBecomeTheMessageOfTheirCode) {
  auto server503 = [](platform::Json data) {
    platform::Json info = platform::Json::object();
    if (!data.is_null()) info["data"] = data;
    return platform::Error(kLMServerErrorDomain, 503, info);
  };
  auto wait = [](const char* unit, std::int64_t n) { return utilsFormat("503 Server Format", utilsFormat(unit, n)); };
  struct Case {
    const char* name;
    platform::Error error;
    std::optional<std::string> message;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {"offline, any domain", platform::Error("NSURLErrorDomain", -1009), utilsText("Bad Network")},
      {"timed out", platform::Error("x", -1001), utilsText("Bad Network")},
      {"bad URL", platform::Error("NSURLErrorDomain", -1002), std::nullopt},
      {"server error", platform::Error("x", -1011), utilsText("Server Internal Error")},
      {"sent elsewhere", *LMHTTPResponseSerialization::redirectNotFollowedError(platform::http::Response(
                             "http://cloud.example/up", 307, platform::http::HeaderFields({{"Location", "/moved"}}))),
       utilsFormat("Request Sent Elsewhere Format", std::string("http://cloud.example/moved"))},
      {"upload", platform::Error(kLMServerErrorDomain, 80003), utilsText("Upload Photo Failed")},
      {"space", platform::Error(kLMServerErrorDomain, 80007), utilsText("Cloud Space Exceed")},
      {"80006", platform::Error(kLMServerErrorDomain, 80006), std::nullopt},
      {"300 s", server503({{"retryAfter", 300}}), wait("503 Minute Format", 5)},
      {"7200 s", server503({{"retryAfter", 7200}}), wait("503 Hour Format", 2)},
      {"3599 s", server503({{"retryAfter", 3599}}), wait("503 Minute Format", 59)},
      {"30 s", server503({{"retryAfter", 30}}), wait("503 Minute Format", 0)},
      {"no wait", server503(platform::Json::object()), utilsText("503 Server")},
      {"no data", server503(nullptr), std::nullopt},
      {"other domain", platform::Error("x", 503, {{"data", {{"retryAfter", 300}}}}), std::nullopt},
      {"not a number", server503({{"retryAfter", nan}}), utilsText("503 Server")},
      {"endless", server503({{"retryAfter", std::numeric_limits<double>::infinity()}}), utilsText("503 Server")},
      {"huge", server503({{"retryAfter", 1e300}}), wait("503 Hour Format", std::numeric_limits<std::int64_t>::max())},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LMCustomUtils::messageForURLError(c.error, "test"), c.message) << c.name;
  }

  // A photo too large names its contact when the contact has a name to give.
  auto tooLarge = [](std::function<void(LMContact&)> fill) {
    LMContact contact;
    fill(contact);
    return platform::Error(kLMServerErrorDomain, 80004, {{"contact", contact.dictionaryForLumoraJSON()}});
  };
  const platform::Json phones = platform::Json::array({{{"value", "13800000000"}}});
  const platform::Json mails = platform::Json::array({{{"value", "a@example.com"}}});
  struct PhotoCase {
    const char* name;
    std::function<void(LMContact&)> fill;
    std::optional<std::string> shown;
  };
  for (const auto& c : std::vector<PhotoCase>{
           {"nickname", [](LMContact& p) { p.nickName = "Bo"; }, "Bo"},
           {"company", [](LMContact& p) { p.company = "Acme"; }, "Acme"},
           {"phone", [&](LMContact& p) { p.phoneNumberArray = phones; p.emailArray = mails; }, "13800000000"},
           {"e-mail only", [&](LMContact& p) { p.emailArray = mails; }, "a@example.com"},
           {"nothing to name it by", [](LMContact& p) { p.jobTitle = "cook"; }, std::nullopt},
       }) {
    auto expected = c.shown ? utilsFormat("Photo Too Large Format", *c.shown) : utilsText("Photo Too Large");
    EXPECT_EQ(LMCustomUtils::messageForURLError(tooLarge(c.fill), "test"), expected) << c.name;
  }
  EXPECT_EQ(LMCustomUtils::messageForURLError(platform::Error(kLMServerErrorDomain, 80004), "test"),
            utilsText("Photo Too Large"));
}

TEST_F(CustomUtilsTest, BytesJsonImagesSpaceAndNotifications) {
  for (auto [bytes, text] : std::vector<std::pair<std::int64_t, const char*>>{{-5, "-5B"},
                                                                              {1023, "1023B"},
                                                                              {1024, "1.00KB"},
                                                                              {1536, "1.50KB"},
                                                                              {1048575, "1024.00KB"},
                                                                              {1073741824, "1.00GB"},
                                                                              {1LL << 52, "4096.00TB"}}) {
    EXPECT_EQ(LMCustomUtils::stringWithByteNum(bytes), text) << bytes;
  }

  EXPECT_FALSE(LMCustomUtils::jsonObjectFromString(std::string("{nope")));
  EXPECT_FALSE(LMCustomUtils::stringFromJSONObject(platform::Json(std::string("\xff"))));
  auto round = LMCustomUtils::jsonObjectFromString(LMCustomUtils::stringFromJSONObject(platform::Json{{"a", 1}}));
  EXPECT_EQ(round, (platform::Json{{"a", 1}}));

  auto photo = platform::Image::imageWithContentsOfFile(ui::resourceDirectory() / "images" / "云相册下载成功.png");
  ASSERT_TRUE(photo.ok());
  auto wide = photo->drawnInto(40, 30, 0, 0, 40, 30);
  ASSERT_TRUE(wide.ok());
  for (auto [orientation, w, h] : std::vector<std::tuple<int, int, int>>{{6, 30, 40}, {8, 30, 40}, {3, 40, 30},
                                                                         {2, 40, 30}, {1, 40, 30}}) {
    auto turned = LMCustomUtils::rotateImage(*wide, orientation);
    EXPECT_EQ(turned.width(), w) << orientation;
    EXPECT_EQ(turned.height(), h) << orientation;
  }

  for (auto [profile, name] : std::vector<std::pair<const char*, const char*>>{
           {"414x736", "云相册删除按钮6p.png"}, {"375x667", "云相册删除按钮6.png"}, {"320x568", "云相册删除按钮.png"}}) {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named(profile));
    EXPECT_EQ(LMCustomUtils::bundleImageNameForName("云相册删除按钮"), name) << profile;
  }

  EXPECT_TRUE(LMCustomUtils::freeSpaceForDevice());
  LMCustomUtils::setFreeSpaceReaderForTesting([](const std::filesystem::path&) { return std::nullopt; });
  EXPECT_FALSE(LMCustomUtils::freeSpaceForDevice());

  LMCustomUtils::localNotifWithMessage("同步完成");
  auto notes = platform::Application::shared().scheduledLocalNotifications();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].alertBody, "同步完成");
}

// A camera's picture stored as each EXIF orientation says, redrawn upright:
// turned, and mirrored back for 2, 4, 5 and 7 (drawn as stored, those four
// would show mirrored, and 5 and 7 also turned the wrong way). A value out
// of range draws the picture as stored.
TEST_F(CustomUtilsTest, TheUprightRedrawTurnsAndMirrorsBackEveryOrientation) {
  for (int orientation = 1; orientation <= 8; ++orientation) {
    auto stored = platform::Image::imageWithData(testsupport::makeQuadrantJpeg(40, 30, orientation));
    ASSERT_TRUE(stored.ok()) << orientation;
    const platform::Image upright = LMCustomUtils::rotateImage(*stored, orientation);
    EXPECT_EQ(testsupport::quadrantsOf(upright), "RGBW") << orientation;
    EXPECT_EQ(upright.width(), 40) << orientation;
    EXPECT_EQ(upright.height(), 30) << orientation;
  }
  auto plain = platform::Image::imageWithData(testsupport::makeQuadrantJpeg(40, 30, 1));
  ASSERT_TRUE(plain.ok());
  for (int orientation : {0, 9, -6}) {
    EXPECT_EQ(testsupport::quadrantsOf(LMCustomUtils::rotateImage(*plain, orientation)), "RGBW") << orientation;
  }
}

TEST_F(CustomUtilsTest, EveryTranslationTakesTheArgumentsOfItsKey) {
  auto load = [](const char* language) {
    std::ifstream in(ui::resourceDirectory() / "strings" / (std::string(language) + ".json"));
    return nlohmann::json::parse(in);
  };
  auto english = load("en");
  auto chinese = load("zh-Hans");
  EXPECT_EQ(english.size(), chinese.size());
  for (auto& [key, text] : english.items()) {
    ASSERT_TRUE(chinese.contains(key)) << key;
    EXPECT_EQ(ui::formatSpecifiers(text.get<std::string>()), ui::formatSpecifiers(chinese[key].get<std::string>()))
        << key;
  }
  // The arguments the messages pass.
  const std::vector<std::pair<const char*, std::vector<std::string>>> takes = {
      {"Photo Too Large Format", {"@"}}, {"503 Server Format", {"@"}},
      {"503 Minute Format", {"ld"}},     {"503 Hour Format", {"ld"}}};
  for (const auto& [key, specifiers] : takes) {
    EXPECT_EQ(ui::formatSpecifiers(english[key].get<std::string>()), specifiers) << key;
  }
  EXPECT_EQ(ui::localizedString("no such key"), "no such key");
}

TEST_F(CustomUtilsTest, ScenesComeFromTheirFactoriesWithTheirOutlets) {
  LMStoryboard::registerScene("kitProbeScene", [] { return std::make_shared<ui::ViewController>(); });
  EXPECT_FALSE(LMStoryboard::instantiateViewControllerWithIdentifier("no scene"));
  for (const auto& identifier : LMStoryboard::identifiers()) {
    auto scene = LMStoryboard::instantiateViewControllerWithIdentifier(identifier);
    ASSERT_TRUE(scene) << identifier;
    scene->loadViewIfNeeded();
    for (const auto& [outlet, view] : scene->outlets()) EXPECT_TRUE(view) << identifier << "." << outlet;
  }
}

}  // namespace
}  // namespace lumora
