#include "blackbox/BBXSymbolResolver.h"

#include <link.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "blackbox/BBXDemangleOperation.h"
#include "blackbox/BBXElfSymbolTable.h"
#include "blackbox/BBXFile.h"
#include "blackbox/BBXProcessReportOperation.h"
#include "support/TestHome.h"

// A function of this program that the resolver names (exported, so that
// the loader knows it).
namespace bbxresolve {
__attribute__((noinline, visibility("default"))) int known(int value) { return value * 5 + 2; }
}  // namespace bbxresolve

namespace {

namespace fs = std::filesystem;
using lumora::BBXDemangleOperation;
using lumora::BBXProcessReportOperation;
using lumora::BBXStackFrame;
using lumora::BBXSymbolResolver;

// A base that this program is surely not loaded at: the "earlier launch".
constexpr std::uint64_t kBBXResolveRecordedBase = 0x100000000;

// This program's image as the metadata record describes it: uuid, base, size.
nlohmann::json bbxResolveExecutable(const fs::path& folder) {
  const std::string path = (folder / "executable.bbxrecord").string();
  lumora::BBXFile file;
  EXPECT_TRUE(lumora::BBXFileInitWithPathMode(&file, path.c_str(), false, false));
  EXPECT_TRUE(lumora::BBXBinaryImageRecordMainExecutable(&file));
  lumora::BBXFileClose(&file);
  return lumora::BBXFileReadSections(path.c_str(), false)->at(0)["executable"];
}

// Where `function` lay in the earlier launch, `extra` bytes in.
std::uint64_t bbxResolveRecorded(const nlohmann::json& executable, const void* function, std::uint64_t extra) {
  return kBBXResolveRecordedBase + (reinterpret_cast<std::uint64_t>(function) - executable["base"].get<std::uint64_t>()) +
         extra;
}

void bbxResolveWrite(const fs::path& path, const std::vector<nlohmann::json>& sections) {
  std::ofstream out(path);
  for (const auto& section : sections) out << section.dump() << "\n";
}

// The binary image record of an earlier launch of this program, placed at
// the recorded base, beside images that must be ignored.
void bbxResolveWriteImages(const fs::path& path, const nlohmann::json& executable) {
  const std::string uuid = executable["uuid"];
  const std::uint64_t size = executable["size"];
  bbxResolveWrite(path, {{{"load", {{"path", "/opt/app/lumora"}, {"uuid", uuid}, {"base", kBBXResolveRecordedBase}, {"size", size}}}},
                         {{"load", {{"path", "/a"}, {"uuid", uuid}, {"base", nullptr}, {"size", size}}}},
                         {{"load", {{"path", "/b"}, {"uuid", uuid}, {"base", 16}, {"size", nullptr}}}},
                         {{"load", {{"path", "/lib/nobuildid.so"}, {"uuid", ""}, {"base", 0x1000}, {"size", 0x1000}}}},
                         {{"unload", {{"path", "/c"}, {"uuid", uuid}, {"base", 0x3000}, {"size", 0x1000}}}}});
}

TEST(BBXSymbolResolverTest, NamesDemangleByTheirPrefix) {
  const struct {
    const char* symbol;
    std::optional<std::string> demangled;
  } cases[] = {
      {"_ZN2ns7crasherEi", "ns::crasher(int)"},
      {"__ZN3FooC2Ev_block_invoke_2", "Foo::Foo()_block_invoke_2"},
      {"__Z1_block_invoke", std::nullopt},  // "_block_invoke" at index 4
      {"__Zxx_block_invoke", std::nullopt},
      {"__ZN3FooC2Ev", std::nullopt},
      {"_Znot-a-name", std::nullopt},
      {"_TFC4main3FoocfT_S0_", std::nullopt},  // Swift: no demangler here
      {"main", std::nullopt},
      {nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BBXDemangleOperation::demangleSymbol(c.symbol), c.demangled) << (c.symbol ? c.symbol : "(null)");
  }
}

TEST(BBXSymbolResolverTest, ACancelledWalkEntersEachLaterThreadForOneFrame) {
  auto threads = std::make_shared<lumora::BBXThreadArray>();
  for (std::uint64_t t = 0; t < 3; ++t) {
    auto& thread = threads->emplace_back();
    for (std::uint64_t f = 0; f < 3; ++f) thread.push_back(BBXStackFrame::stackFrameWithAddress(t * 10 + f));
  }
  BBXDemangleOperation operation(threads);
  std::vector<std::uint64_t> visited;
  operation.enumerateFramesWithBlock([&](BBXStackFrame& frame) {
    visited.push_back(frame.address);
    if (frame.address == 1) operation.cancel();
  });
  EXPECT_EQ(visited, (std::vector<std::uint64_t>{0, 1, 10, 20}));
}

TEST(BBXSymbolResolverTest, AnImagesOwnTableIsReadWithinItsBytesAndTheDynamicOneStandsIn) {
  std::ifstream in(BBX_TEST_CRASHER, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), sizeof(ElfW(Ehdr)));
  const auto full = lumora::BBXElfSymbolTable::fromBytes(bytes.data(), bytes.size());
  ASSERT_TRUE(full && full->isFullTable());
  EXPECT_FALSE(full->symbolForAddress(0));

  // Without its full table (a stripped file) the dynamic one names less.
  auto stripped = bytes;
  const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(stripped.data());
  for (std::size_t i = 0; i < header->e_shnum; ++i) {
    auto* section = reinterpret_cast<ElfW(Shdr)*>(stripped.data() + header->e_shoff + i * sizeof(ElfW(Shdr)));
    if (section->sh_type == SHT_SYMTAB) section->sh_type = SHT_PROGBITS;
  }
  const auto dynamic = lumora::BBXElfSymbolTable::fromBytes(stripped.data(), stripped.size());
  ASSERT_TRUE(dynamic);
  EXPECT_FALSE(dynamic->isFullTable());
  EXPECT_LT(dynamic->count(), full->count());

  // Cut anywhere, or pointing anywhere, the bytes give a table or none.
  for (std::size_t length = 0; length < bytes.size(); length += 61) {
    (void)lumora::BBXElfSymbolTable::fromBytes(bytes.data(), length);
  }
  auto wild = bytes;
  auto* wildHeader = reinterpret_cast<ElfW(Ehdr)*>(wild.data());
  for (const auto offset : {std::uint64_t{1} << 62, std::uint64_t{bytes.size() - 8}, std::uint64_t{0}}) {
    wildHeader->e_shoff = offset;
    EXPECT_FALSE(lumora::BBXElfSymbolTable::fromBytes(wild.data(), wild.size()));
  }
}

TEST(BBXSymbolResolverTest, AReportGetsACompanionForEachCrashRecordWithThreads) {
  testsupport::TestHome home;
  const nlohmann::json executable = bbxResolveExecutable(home.root());
  const fs::path dir = home.root() / "report";
  fs::create_directories(dir);
  const auto report = lumora::BBXInternalReport::reportWithPath(dir.string(), "run-1");

  // Without the image record nothing is written.
  const std::uint64_t known = bbxResolveRecorded(executable, reinterpret_cast<void*>(&bbxresolve::known), 3);
  // Named where the image is loaded here; bare outside every image, at 0, and
  // in an image without a build-id (which cannot be told from another).
  const nlohmann::json threads = {
      {"threads", {{{"stacktrace", {known, 0x2000, 0, 0x1800}}, {"crashed", true}}, "broken", {{"registers", {}}}}}};
  bbxResolveWrite(dir / "exception.bbxrecord", {{{"exception", {{"type", 2}}}}, threads});
  bbxResolveWrite(dir / "signal.bbxrecord", {{{"signal", {{"number", 11}}}}});  // no threads
  BBXProcessReportOperation(report, std::make_shared<BBXSymbolResolver>()).start();
  EXPECT_FALSE(fs::exists(dir / "exception.bbxrecord.symbolicated"));

  bbxResolveWriteImages(dir / "binary_images.bbxrecord", executable);
  BBXSymbolResolver resolver;
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(report->binaryImagePath()));
  // The null base and null size are dropped, the unload record unread, the
  // rest sorted by base.
  ASSERT_EQ(resolver.binaryImages().size(), 2u);
  EXPECT_EQ(resolver.binaryImages()[0]["path"], "/lib/nobuildid.so");
  EXPECT_FALSE(resolver.loadedBinaryImageForPC(0x3000));
  BBXProcessReportOperation(report, std::make_shared<BBXSymbolResolver>()).start();
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"binary_images.bbxrecord", "exception.bbxrecord",
                                             "exception.bbxrecord.symbolicated", "signal.bbxrecord"}));

  const auto sections = lumora::BBXFileReadSections((dir / "exception.bbxrecord.symbolicated").string().c_str(), false);
  ASSERT_TRUE(sections && sections->size() == 1);
  const nlohmann::json bare = {{"symbol", nullptr}, {"offset", 0}, {"library", nullptr}};
  const nlohmann::json expected = {
      {"threads",
       {{{{"symbol", "bbxresolve::known(int)"}, {"offset", 3}, {"library", "lumora"}}, bare, bare, bare},
        nlohmann::json::array(),
        nlohmann::json::array()}}};
  EXPECT_EQ(sections->front(), expected);
}

}  // namespace
