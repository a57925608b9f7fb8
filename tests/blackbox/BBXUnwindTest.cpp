#include "blackbox/BBXUnwind.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <dlfcn.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"

extern "C" int bbxOmitFrameRecurse(int depth, void (*atBottom)(void*), void* data);

// Built like the rest of the tests, with frame pointers.
extern "C" __attribute__((noinline, visibility("default"))) int bbxFramePointerRecurse(int depth,
                                                                                       void (*atBottom)(void*),
                                                                                       void* data) {
  if (depth <= 0) {
    atBottom(data);
    return 0;
  }
  volatile int keep = depth;
  return bbxFramePointerRecurse(depth - 1, atBottom, data) + keep;
}

namespace {

struct BBXWalkProbe {
  std::vector<std::uint64_t> ours;
  std::vector<std::uint64_t> theirs;
};

void bbxWalkAtBottom(void* data) {
  auto* probe = static_cast<BBXWalkProbe*>(data);
  unw_context_t machine;
  unw_getcontext(&machine);
  const lumora::BBXRegisterState state = lumora::BBXRegisterStateFromUContext(reinterpret_cast<ucontext_t*>(&machine));
  lumora::BBXUnwindContext walk;
  lumora::BBXUnwindInit(&walk, &state);
  while (lumora::BBXUnwindNextFrame(&walk)) probe->ours.push_back(lumora::BBXUnwindGetPC(&walk));
  unw_cursor_t cursor;
  unw_init_local(&cursor, &machine);
  do {
    unw_word_t ip = 0;
    unw_get_reg(&cursor, UNW_REG_IP, &ip);
    probe->theirs.push_back(ip);
  } while (unw_step(&cursor) > 0);
}

std::string bbxWalkSymbol(std::uint64_t pc) {
  Dl_info info{};
  return dladdr(reinterpret_cast<void*>(pc - 1), &info) != 0 && info.dli_sname != nullptr ? info.dli_sname : "";
}

TEST(BBXUnwindTest, WalksAgreeWithLibunwindWithAndWithoutFramePointers) {
  bbxtest::TestContext context;
  const struct {
    int (*recurse)(int, void (*)(void*), void*);
    const char* name;
  } cases[] = {{bbxFramePointerRecurse, "bbxFramePointerRecurse"}, {bbxOmitFrameRecurse, "bbxOmitFrameRecurse"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BBXWalkProbe probe;
    c.recurse(8, bbxWalkAtBottom, &probe);
    ASSERT_GE(probe.ours.size(), 12u);
    const std::size_t shared = std::min(probe.ours.size(), probe.theirs.size());
    for (std::size_t i = 0; i < shared; ++i) EXPECT_EQ(probe.ours[i], probe.theirs[i]) << "frame " << i;
    std::size_t named = 0;
    for (std::uint64_t pc : probe.ours) named += bbxWalkSymbol(pc) == c.name;
    EXPECT_EQ(named, 9u);
  }
}

TEST(BBXUnwindTest, WalksStopAtTheirLimitOrAtOnceWithoutAPC) {
  bbxtest::TestContext context;
  BBXWalkProbe probe;
  bbxFramePointerRecurse(600, bbxWalkAtBottom, &probe);
  EXPECT_EQ(probe.ours.size(), lumora::kBBXMaxUnwindFrames);

  lumora::BBXRegisterState empty{};
  lumora::BBXUnwindContext walk;
  ASSERT_TRUE(lumora::BBXUnwindInit(&walk, &empty));
  EXPECT_FALSE(lumora::BBXUnwindNextFrame(&walk));
  EXPECT_NE(context.read("sdk.log").find("Cancelling unwind"), std::string::npos);
}

}  // namespace
