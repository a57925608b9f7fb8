#include "blackbox/BBXBinaryImage.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"
#include "harbor/HBRElfImage.h"
#include "harbor/HBRMachO.h"
#include "platform/device/Device.h"

namespace {

struct BBXImageVersionScope {
  explicit BBXImageVersionScope(const char* version) {
    platform::DeviceFacts facts;
    facts.systemVersion = version;
    platform::Device::configure(facts);
  }
  ~BBXImageVersionScope() { platform::Device::configure({}); }
};

bool bbxImageFound(const void* address) {
  lumora::BBXBinaryImageNode node{};
  return lumora::BBXBinaryImageSafeFindImageForAddress(reinterpret_cast<std::uintptr_t>(address), &node);
}

// The "load" or "unload" lines of the test library.
std::vector<nlohmann::json> bbxImageRecords(const bbxtest::TestContext& context, const char* kind) {
  lumora::BBXContextBinaryImagesQueue().sync([] {});
  std::vector<nlohmann::json> found;
  for (const nlohmann::json& section : context.sections("binary_images.bbxrecord")) {
    if (section.contains(kind) && section[kind]["path"] == BBX_TEST_IMAGE) found.push_back(section[kind]);
  }
  return found;
}

TEST(BBXBinaryImageTest, LoadsAreTrackedThroughTheLoaderBelowVersionNine) {
  const auto identity = lumora::HBRElfIdentityOfFile(BBX_TEST_IMAGE);
  ASSERT_TRUE(identity && identity->uuid);
  const std::string uuid = lumora::HBRUUIDStringFromBytes(identity->uuid->data());
  for (const char* version : {"8.4", "9.3"}) {
    SCOPED_TRACE(version);
    const bool tracksLoads = std::string(version) == "8.4";
    BBXImageVersionScope scope(version);
    bbxtest::TestContext context;
    EXPECT_TRUE(bbxImageFound(reinterpret_cast<const void*>(&bbxImageFound)));

    void* handle = platform::loader::open(BBX_TEST_IMAGE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    const void* function = dlsym(handle, "bbxTestImageFunction");
    EXPECT_EQ(bbxImageFound(function), tracksLoads);
    const auto loads = bbxImageRecords(context, "load");
    ASSERT_EQ(loads.size(), tracksLoads ? 1u : 0u);
    if (tracksLoads) {
      EXPECT_EQ(loads[0]["uuid"], uuid);
      lumora::BBXBinaryImageDetails details{};
      ASSERT_TRUE(lumora::BBXBinaryImageFindImageForUUID(uuid.c_str(), &details));
      EXPECT_EQ(details.loadAddress, loads[0]["base"].get<std::uintptr_t>());
    }

    ASSERT_EQ(platform::loader::close(handle), 0);
    EXPECT_FALSE(bbxImageFound(function));
    const auto unloads = bbxImageRecords(context, "unload");
    ASSERT_EQ(unloads.size(), tracksLoads ? 1u : 0u);
    if (tracksLoads) {
      EXPECT_EQ(unloads[0]["uuid"], uuid);
    }
  }
}

TEST(BBXBinaryImageTest, ImagesPastTheLastSlotAreLoggedOneLineEach) {
  bbxtest::TestContext context;
  std::size_t used = 0;
  for (const auto& slot : lumora::BBXWritableContextGet()->binaryImages) used += slot.loadAddress.load() != 0;
  for (std::size_t i = 0; i < lumora::kBBXBinaryImageSlotCount; ++i) {
    platform::loader::Image image;
    image.path = "/fake/image";
    image.bias = 0x100000000000 + i * 0x10000;
    image.headers.push_back(ElfW(Phdr){PT_LOAD, PF_R | PF_X, 0, 0, 0, 0x1000, 0x1000, 0x1000});
    image.mapped = false;
    lumora::BBXBinaryImageStoreNode(image, true);
  }
  lumora::BBXContextBinaryImagesQueue().sync([] {});
  const std::string log = context.read("sdk.log");
  std::size_t lines = 0;
  for (std::size_t at = log.find("Unable to track a loaded node"); at != std::string::npos;
       at = log.find("Unable to track a loaded node", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, used);
  EXPECT_GT(used, 0u);
}

}  // namespace
