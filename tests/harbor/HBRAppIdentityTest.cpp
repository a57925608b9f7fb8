#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "harbor/HBRAppIconUtility.h"
#include "harbor/HBRApplicationIdentiferModel.h"
#include "harbor/HBRElfImage.h"
#include "harbor/HBRMachO.h"
#include "platform/device/Bundle.h"
#include "platform/media/PngImage.h"
#include "support/TestHome.h"
#include "utils/SHA1.h"

namespace lumora {
namespace {

class HBRAppIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_ = home_.root() / "Bundle";
    std::filesystem::create_directories(bundle_);
    platform::Bundle::setBundlePath(bundle_.string());
  }
  void TearDown() override { platform::Bundle::reset(); }
  void writeIcon(const std::string& name, std::uint32_t width, std::uint32_t height) {
    platform::PngImage image(width, height, platform::Bytes(std::size_t{width} * height * 4, 0x7f));
    auto png = image.pngData();
    ASSERT_TRUE(png);
    std::ofstream(bundle_ / name, std::ios::binary).write(reinterpret_cast<const char*>(png->data()), png->size());
  }

  testsupport::TestHome home_;
  std::filesystem::path bundle_;
};

TEST_F(HBRAppIdentityTest, InstanceIdentifierIsTheDigestOfTheExecutablesUuids) {
  auto model = HBRApplicationIdentiferModel::initWithInstallID("INSTALL");
  ASSERT_TRUE(model);
  auto identity = HBRElfIdentityOfMainExecutable();
  ASSERT_TRUE(identity);
  std::string uuids;
  if (identity->uuid) uuids = HBRUUIDStringFromBytes(identity->uuid->data());
  EXPECT_EQ(model->instanceIdentifier(), sha1String(platform::toBytes(uuids)));
  EXPECT_EQ(model->architectureUUIDMap().size(), identity->uuid ? 1u : 0u);
  EXPECT_EQ(model->builtSDKString(), "0.0.0");
  EXPECT_EQ(model->installID(), "INSTALL");
  EXPECT_FALSE(model->icon());
}

TEST_F(HBRAppIdentityTest, LargestIconWithinTheBoundWinsAmongTheNameVariants) {
  // Each variant of a name without extension is looked for; the largest
  // within 152 x 152 wins, one pixel more is refused.
  writeIcon("App.png", 60, 60);
  writeIcon("App@2x.png", 120, 120);
  writeIcon("App~ipad.png", 153, 152);
  writeIcon("App@2x~ipad.png", 152, 152);
  platform::Bundle::setInfoValue(
      "CFBundleIcons", {{"CFBundlePrimaryIcon", {{"CFBundleIconFiles", {"App"}}, {"UIPrerenderedIcon", true}}}});
  auto icon = HBRAppIconUtility().applicationIcon();
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->size().width, 152);
  EXPECT_TRUE(icon->prerendered());
  std::ifstream in(bundle_ / "App@2x~ipad.png", std::ios::binary);
  platform::Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(icon->dataHash(), sha1String(file));
  auto decoded = platform::PngImage::decode(icon->data());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 152u);

  // A malformed primary icon moves on to the next source; a name with its
  // extension is tried as itself only.
  platform::Bundle::setInfoValue("CFBundleIcons", {{"CFBundlePrimaryIcon", "App"}});
  platform::Bundle::setInfoValue("CFBundleIconFiles", {"App.png", "App~ipad.png"});
  icon = HBRAppIconUtility().applicationIcon();
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->size().width, 60);
  EXPECT_FALSE(icon->prerendered());
}

}  // namespace
}  // namespace lumora
