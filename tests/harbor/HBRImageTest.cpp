#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harbor/HBRElfImage.h"
#include "harbor/HBRMachO.h"

namespace lumora {
namespace {

using ImageBytes = std::vector<std::uint8_t>;

void imagePut32(ImageBytes& bytes, std::size_t at, std::uint32_t word) {
  if (bytes.size() < at + 4) bytes.resize(at + 4);
  std::memcpy(bytes.data() + at, &word, 4);
}

void imagePutBig32(ImageBytes& bytes, std::size_t at, std::uint32_t word) {
  if (bytes.size() < at + 4) bytes.resize(at + 4);
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(word >> (24 - 8 * i));
}

void imagePutName(ImageBytes& bytes, std::size_t at, const char* name) {
  if (bytes.size() < at + 16) bytes.resize(at + 16);
  std::strncpy(reinterpret_cast<char*>(bytes.data() + at), name, 16);
}

// A 64-bit arm64 image: a UUID command, a version-minimum command and a
// "__TEXT" segment with "__text" and "__eh_frame" sections.
ImageBytes imageSample() {
  ImageBytes bytes;
  imagePut32(bytes, 0, 0xfeedfacf);
  imagePut32(bytes, 4, 0x0100000c);
  imagePut32(bytes, 8, 0);
  imagePut32(bytes, 16, 3);
  std::size_t at = 32;
  imagePut32(bytes, at, 0x1b);  // UUID
  imagePut32(bytes, at + 4, 24);
  for (std::uint8_t i = 0; i < 16; ++i) bytes.push_back(static_cast<std::uint8_t>(0xa0 + i));
  at += 24;
  imagePut32(bytes, at, 0x25);  // version minimum
  imagePut32(bytes, at + 4, 16);
  imagePut32(bytes, at + 8, 0x000a0302);
  imagePut32(bytes, at + 12, 0x000b0000);
  at += 16;
  imagePut32(bytes, at, 0x19);  // 64-bit segment, two sections
  imagePut32(bytes, at + 4, 72 + 2 * 80);
  imagePutName(bytes, at + 8, "__TEXT");
  imagePut32(bytes, at + 64, 2);
  imagePutName(bytes, at + 72, "__text");
  imagePut32(bytes, at + 72 + 48, 0x400);
  imagePutName(bytes, at + 152, "__eh_frame");
  imagePut32(bytes, at + 152 + 48, 0x800);
  bytes.resize(at + 72 + 2 * 80);
  return bytes;
}

TEST(HBRMachOTest, WellFormedImageGivesItsCommandsSectionsAndSlices) {
  ImageBytes bytes = imageSample();
  HBRImageDescription image = HBRImageDescribeHeader(bytes.data(), bytes.size());
  std::vector<std::uint32_t> commands;
  std::string uuid;
  std::optional<std::string> minimum, sdk;
  HBRImageEnumerateLoadCommands(image, [&](std::uint32_t command, std::uint32_t size, const std::uint8_t* at) {
    commands.push_back(command);
    if (command == 0x1b) uuid = HBRUUIDStringFromBytes(HBRLoadCommandGetUUIDBytes(at, size));
    if (command == 0x25) {
      minimum = HBRVersionTripleFormat(HBRLoadCommandGetMinimumOSVersion(at, size));
      sdk = HBRVersionTripleFormat(HBRLoadCommandGetBuiltSDKVersion(at, size));
    }
  });
  EXPECT_EQ(commands, (std::vector<std::uint32_t>{0x1b, 0x25, 0x19}));
  EXPECT_EQ(uuid, "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
  EXPECT_EQ(minimum, "10.3.2");
  EXPECT_EQ(sdk, "11.0.0");
  EXPECT_EQ(HBRImageGetArchitectureName(image), "arm64");

  auto base = reinterpret_cast<std::uintptr_t>(bytes.data());
  std::uintptr_t ehFrame = 1, unwindInfo = 1;
  HBRImageFindUnwindSections(image, ehFrame, unwindInfo);
  EXPECT_EQ(ehFrame, base + 0x800);
  EXPECT_EQ(unwindInfo, 0u);
  EXPECT_EQ(HBRImageFindTextSection(image, "__text"), base + 0x400);

  // A fat file of two slices: the image itself and an armv7s record.
  ImageBytes fat;
  imagePutBig32(fat, 0, 0xcafebabe);
  imagePutBig32(fat, 4, 2);
  std::uint32_t records[2][4] = {{0x0100000c, 0, 64, static_cast<std::uint32_t>(bytes.size())},
                                 {12, 11, 64, 16}};
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 4; ++j) imagePutBig32(fat, 8 + 20 * i + 4 * j, records[i][j]);
  }
  fat.resize(64);
  fat.insert(fat.end(), bytes.begin(), bytes.end());
  std::vector<std::string> names;
  HBRMachOHeaderEnumerateSlices(fat.data(), fat.size(), [&](const HBRImageDescription& slice) {
    EXPECT_EQ(slice.header, fat.data() + 64);
    names.push_back(HBRImageGetArchitectureName(slice));
  });
  EXPECT_EQ(names, (std::vector<std::string>{"arm64", "armv7s"}));
}

TEST(HBRMachOTest, MalformedImagesAreReadNoFurtherThanTheirBuffer) {
  struct Case {
    const char* name;
    std::function<void(ImageBytes&)> damage;
    std::size_t commands;
  };
  const std::size_t segment = 32 + 24 + 16;
  const Case cases[] = {
      {"count past the commands", [](ImageBytes& b) { imagePut32(b, 16, 0xffffffff); }, 3},
      {"zero-size command", [](ImageBytes& b) { imagePut32(b, 36, 0); }, 0},
      {"size shorter than a command", [](ImageBytes& b) { imagePut32(b, 36, 4); }, 0},
      {"size past the buffer", [&](ImageBytes& b) { imagePut32(b, segment + 4, 0x10000); }, 2},
      {"section count past the segment", [&](ImageBytes& b) { imagePut32(b, segment + 64, 1000); }, 3},
      {"header cut short", [](ImageBytes& b) { b.resize(20); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBytes bytes = imageSample();
    c.damage(bytes);
    // Copied into a buffer of exactly that size, so a read past it shows
    // under the address sanitizer.
    ImageBytes exact(bytes);
    HBRImageDescription image = HBRImageDescribeHeader(exact.data(), exact.size());
    std::size_t seen = 0;
    HBRImageEnumerateLoadCommands(image, [&](std::uint32_t, std::uint32_t, const std::uint8_t*) { ++seen; });
    EXPECT_EQ(seen, c.commands);
    std::uintptr_t ehFrame = 0, unwindInfo = 0;
    HBRImageFindUnwindSections(image, ehFrame, unwindInfo);
  }

  // Fat records: a count far past the buffer, and a slice past its end.
  ImageBytes fat;
  imagePutBig32(fat, 0, 0xcafebabe);
  imagePutBig32(fat, 4, 0x7fffffff);
  imagePutBig32(fat, 8 + 8, 0);
  imagePutBig32(fat, 8 + 12, 16);
  imagePutBig32(fat, 28 + 8, 16);
  imagePutBig32(fat, 28 + 12, 0xffffff00);
  fat.resize(48);
  std::size_t slices = 0;
  HBRMachOHeaderEnumerateSlices(fat.data(), fat.size(), [&](const HBRImageDescription&) { ++slices; });
  EXPECT_EQ(slices, 1u);
  EXPECT_EQ(HBRLoadCommandGetUUIDBytes(fat.data(), 12), nullptr);
  EXPECT_FALSE(HBRLoadCommandGetMinimumOSVersion(fat.data(), 8));
}

TEST(HBRElfImageTest, MainExecutableIdentityMatchesItsBuildId) {
  auto identity = HBRElfIdentityOfMainExecutable();
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->machine, HBRElfHostMachine());
  EXPECT_NE(HBRElfArchitectureName(identity->machine), "unknown");
  HBRImageDescription main = HBRImageDescribeMainExecutable();
  EXPECT_EQ(HBRImageGetArchitectureName(main), HBRElfArchitectureName(identity->machine));
  EXPECT_EQ(HBRImageGetPath(main), HBRElfMainExecutablePath());

  // The build id as the binutils read it.
  std::string command = "readelf -n " + *HBRElfMainExecutablePath() + " 2>/dev/null";
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char line[512];
    while (fgets(line, sizeof line, pipe)) text += line;
    pclose(pipe);
  }
  auto at = text.find("Build ID: ");
  if (at == std::string::npos) GTEST_SKIP() << "readelf gives no build id";
  std::string expected = text.substr(at + 10, text.find('\n', at) - at - 10);
  ASSERT_TRUE(identity->uuid);
  // A build id shorter than 16 bytes (the fast 8-byte kind) is padded.
  expected.resize(32, '0');
  EXPECT_EQ(HBRUUIDStringFromBytes(identity->uuid->data()), expected.substr(0, 32));

  HBRElfUUID loaded{};
  struct Found {
    HBRElfUUID* uuid;
    bool ok = false;
  } found{&loaded};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto* f = static_cast<Found*>(data);
        f->ok = HBRElfLoadedImageUUID(info->dlpi_phdr, info->dlpi_phnum, info->dlpi_addr, *f->uuid);
        return 1;
      },
      &found);
  EXPECT_TRUE(found.ok);
  EXPECT_EQ(loaded, *identity->uuid);

  // Cut anywhere, the file still parses within its bytes or not at all.
  auto path = *HBRElfMainExecutablePath();
  HBRMachOFile file;
  ASSERT_TRUE(HBRMachOFileOpen(file, path));
  for (std::size_t size : {std::size_t{0}, std::size_t{16}, std::size_t{63}, std::size_t{64}, std::size_t{900}}) {
    ImageBytes cut(file.mapping, file.mapping + size);
    auto partial = HBRElfIdentityFromBuffer(cut.data(), cut.size());
    EXPECT_EQ(partial.has_value(), size >= 64);
  }
  HBRMachOFileClose(file);
  EXPECT_EQ(file.fd, -1);
}

}  // namespace
}  // namespace lumora
