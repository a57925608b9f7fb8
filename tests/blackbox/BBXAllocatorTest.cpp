#include "blackbox/BBXAllocator.h"

#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"

namespace {

TEST(BBXAllocatorTest, RegionsAreRoundedUpToAWholeExtraPage) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  lumora::BBXAllocator* allocator = lumora::BBXAllocatorCreate(page, 100);
  ASSERT_NE(allocator, nullptr);
  EXPECT_EQ(allocator->writable.size, 2 * page);
  EXPECT_EQ(allocator->protectable.size, page);
  void* first = lumora::BBXAllocatorSafeAllocate(allocator, 10, lumora::kBBXAllocatorRegionWritable);
  void* second = lumora::BBXAllocatorSafeAllocate(allocator, 10, lumora::kBBXAllocatorRegionWritable);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first), allocator->writable.start);
  EXPECT_EQ(static_cast<char*>(second) - static_cast<char*>(first), 16);
  EXPECT_EQ(lumora::BBXAllocatorSafeAllocate(allocator, 10, static_cast<lumora::BBXAllocatorRegion>(2)), nullptr);
  // The guard page before the writable region reads as unmapped.
  char byte = 0;
  EXPECT_FALSE(lumora::BBXReadMemory(static_cast<char*>(first) - 1, &byte, 1));
  EXPECT_TRUE(lumora::BBXReadMemory(first, &byte, 1));
  EXPECT_FALSE(lumora::BBXReadMemory(reinterpret_cast<void*>(16), &byte, 1));
}

TEST(BBXAllocatorTest, ProtectionMakesTheRegionReadOnlyAndAllocationFallsBackToMalloc) {
  bbxtest::TestContext context;
  lumora::BBXAllocator* allocator = lumora::BBXAllocatorGet();
  ASSERT_TRUE(allocator->isProtected.load());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // The write must meet the signal's default action, not a handler
        // (AddressSanitizer's reports the fault and exits instead).
        std::signal(SIGSEGV, SIG_DFL);
        auto* inside = reinterpret_cast<char*>(allocator->protectable.start + allocator->protectable.size - 1);
        *inside = 1;
        std::_Exit(0);
      },
      testing::KilledBySignal(SIGSEGV), "");
  void* heap = lumora::BBXAllocatorSafeAllocate(allocator, 32, lumora::kBBXAllocatorRegionProtectable);
  ASSERT_NE(heap, nullptr);
  EXPECT_FALSE(reinterpret_cast<std::uintptr_t>(heap) >= allocator->protectable.start &&
               reinterpret_cast<std::uintptr_t>(heap) < allocator->protectable.start + allocator->protectable.size);
  std::free(heap);
  EXPECT_NE(context.read("sdk.log").find("Allocator already protected, falling back to malloc"), std::string::npos);
}

TEST(BBXAllocatorTest, LogFormatsItsConversionsAndPassesOthersThrough) {
  bbxtest::TestContext context;
  const char* unknown = "%q|";
  lumora::BBXSDKLog(unknown);
  lumora::BBXSDKLog("<%d|%u|%x|%p|%s|%s>", -42, 42u, 255u, reinterpret_cast<void*>(0xbeef), "text",
                    static_cast<const char*>(nullptr));
  EXPECT_NE(context.read("sdk.log").find("%q|<-42|42|ff|0xbeef|text|(null)>"), std::string::npos);
}

TEST(BBXAllocatorTest, TheLogIsBoundedAndACrashsLinesFollowItsRecord) {
  bbxtest::TestContext context;
  // A forked child writes nothing into its parent's log.
  const pid_t child = fork();
  if (child == 0) {
    lumora::BBXSDKLog("from the child\n");
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  EXPECT_EQ(context.read("sdk.log").find("from the child"), std::string::npos);

  // While a crash is recorded the lines wait, within their own bound.
  lumora::BBXSDKLogHoldForCrash();
  const std::size_t before = context.read("sdk.log").size();
  for (int i = 0; i < 1000; ++i) lumora::BBXSDKLog("%s: held line %d\n", "crash", i);
  EXPECT_EQ(context.read("sdk.log").size(), before);
  lumora::BBXSDKLogReleaseAfterCrash();
  const std::string released = context.read("sdk.log");
  EXPECT_NE(released.find("held line 0\n"), std::string::npos);
  EXPECT_LE(released.size() - before, lumora::kBBXSDKLogCrashBytes);

  // A long run (or a loop of failures) stops at the launch's share.
  for (int i = 0; i < 10000; ++i) lumora::BBXSDKLog("%s: a long line of a long run %d\n", "run", i);
  EXPECT_LE(context.read("sdk.log").size(), lumora::kBBXSDKLogMaxBytes + lumora::kBBXSDKLogCrashBytes);
}

}  // namespace
