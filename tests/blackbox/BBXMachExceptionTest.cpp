#include "blackbox/BBXMachException.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"
#include "harbor/HBRHost.h"
#include "platform/diagnostics/ExceptionPorts.h"

namespace {

lumora::BBXMachExceptionReply bbxMachAsk(platform::PortName server, platform::PortName replyPort, std::uint32_t task,
                                         std::int32_t id) {
  lumora::BBXMachExceptionRequest request{};
  request.header.bits = 0x80001213;
  request.header.size = offsetof(lumora::BBXMachExceptionRequest, trailer);
  request.header.remotePort = replyPort;
  request.header.localPort = server;
  request.header.id = id;
  request.thread.name = static_cast<std::uint32_t>(syscall(SYS_gettid));
  request.task.name = task;
  request.exception = 1;
  request.codeCount = 2;
  request.codes[0] = 1;
  request.codes[1] = 0xdead0;
  EXPECT_TRUE(platform::sendMessage(server, std::as_bytes(std::span(&request, 1))).ok());
  lumora::BBXMachExceptionReply reply{};
  auto received = platform::receiveMessage(replyPort, std::as_writable_bytes(std::span(&reply, 1)));
  EXPECT_TRUE(received.ok() && received.value() == sizeof(reply));
  return reply;
}

TEST(BBXMachExceptionTest, InjectedRequestsAreRecordedAnsweredAndHandedBack) {
  // The exception server runs on a stack of its own, too small for
  // ThreadSanitizer's per-thread state: the server cannot start there.
  if (bbxtest::kUnderThreadSanitizer) GTEST_SKIP() << "the server's own stack cannot hold the sanitizer's state";
  lumora::BBXCaptureHooks hooks = lumora::BBXHostCaptureHooks();
  hooks.debuggerAttached = {};
  hooks.machExceptionInitialize = [](lumora::BBXMachExceptionContext* mach) {
    lumora::BBXMachExceptionInit(mach, mach->mask);
  };
  lumora::BBXContextInitData data;
  data.machExceptionMask = lumora::BBXMachExceptionSignalToMask(SIGTRAP);
  bbxtest::TestContext context(data, hooks);
  const lumora::BBXMachExceptionContext& mach = lumora::BBXContextGet()->machException;
  const std::uint32_t full = lumora::HBRHostOSVersionCode() >= 60000 ? 0x104E : 0x4E;
  EXPECT_EQ(mach.mask, full & ~0x40u);
  // Without its server nobody would answer the requests below.
  ASSERT_EQ(platform::exceptionPortFor(1).port, mach.port);
  EXPECT_EQ(platform::exceptionPortFor(6).port, platform::kNullPort);

  const platform::PortName replyPort = platform::allocateReceivePort().value();
  lumora::BBXMachExceptionReply foreign = bbxMachAsk(mach.port, replyPort, platform::taskSelfPort() + 1, 2401);
  EXPECT_EQ(foreign.header.id, 2501);
  EXPECT_EQ(foreign.returnCode, lumora::kBBXMachReturnFailure);
  EXPECT_FALSE(std::filesystem::exists(context.path("mach_exception.bbxrecord")));

  lumora::BBXMachExceptionReply own = bbxMachAsk(mach.port, replyPort, platform::taskSelfPort(), 2401);
  EXPECT_EQ(own.header.id, 2501);
  EXPECT_EQ(own.header.size, sizeof(own));
  EXPECT_EQ(own.header.remotePort, replyPort);
  EXPECT_EQ(own.returnCode, lumora::kBBXMachReturnSuccess);
  EXPECT_EQ(platform::exceptionPortFor(1).port, platform::kNullPort);

  nlohmann::json record;
  for (const nlohmann::json& section : context.sections("mach_exception.bbxrecord")) record.update(section);
  const nlohmann::json& exception = record["mach_exception"];
  EXPECT_EQ(exception["exception"], 1);
  EXPECT_EQ(exception["codes"], nlohmann::json({1, 0xdead0}));
  EXPECT_EQ(exception["name"], "EXC_BAD_ACCESS");
  EXPECT_EQ(exception["code_name"], "KERN_INVALID_ADDRESS");
  int crashed = 0;
  for (const nlohmann::json& thread : record["threads"]) crashed += thread.value("crashed", false);
  EXPECT_EQ(crashed, 1);
  platform::deallocatePort(mach.port);
  platform::deallocatePort(replyPort);
}

}  // namespace
