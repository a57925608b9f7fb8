// The server-side send interface's work: sends of a message to
// registration ids, aliases or a topic, and the service's message counters,
// each a request signed with the app secret of the message's platform.
// Bad arguments (an empty target or list, no message, empty dates, the
// counters outside the "online" run mode) are -5 at once; otherwise the
// transport's codes.
//
// Ownership: sharedKoPushServerSDKSingleton() is process-wide, made once,
// never destroyed; it holds its delegate weakly and owns its concurrent
// queue "com.quenby.kopush.server". Threading: any thread; requests run side
// by side on the queue and report on the main queue. No per-request state.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/ConcurrentQueue.h"
#include "push/KoPushMessage.h"
#include "push/KoPushNetworkServerUtils.h"
#include "push/KoPushServerSDKDelegate.h"

namespace lumora {

class KoPushServerSDKController {
 public:
  using Message = std::shared_ptr<const KoPushMessage>;

  static constexpr std::size_t kQueueThreads = 4;

  static KoPushServerSDKController& sharedKoPushServerSDKSingleton();
  KoPushServerSDKController(const KoPushServerSDKController&) = delete;
  KoPushServerSDKController& operator=(const KoPushServerSDKController&) = delete;

  void setDelegate(std::weak_ptr<KoPushServerSDKDelegate> delegate);
  // Stores the run mode and the SDK version; resets nothing.
  void syncSDKFlag();
  platform::ConcurrentQueue& getTaskQueue();

  void sendWithRegid(const std::string& regid, const Message& message);
  void sendWithRegidList(const std::vector<std::string>& regids, const Message& message);
  void sendWithAlias(const std::string& alias, const Message& message);
  void sendWithAliasList(const std::vector<std::string>& aliases, const Message& message);
  void sendWithTopic(const std::string& topic, const Message& message);
  // Dates as the service reads them ("20150301"), both non-empty.
  void getSendStatsWithStart(const std::string& start, const std::string& end);

  // Tests: no delegate.
  void resetForTesting() { setDelegate({}); }

 private:
  using Operation = KoPushNetworkServerUtils::PathOperation;
  enum class Report { Send, Stats };

  KoPushServerSDKController() = default;

  void sendToList(Operation operation, const char* field, const char* outputKey,
                  const std::vector<std::string>& targets, const Message& message);
  // Sends on the queue; `outputKey`/`outputValue` join the data when set.
  void send(Operation operation, KoPushNetworkServerUtils::Form form, Report report, std::string outputKey = {},
            std::string outputValue = {});
  void report(Report report, std::int32_t result, const platform::Json& data);

  std::mutex delegateMutex_;
  std::weak_ptr<KoPushServerSDKDelegate> iDelegate_;
  std::once_flag queueOnce_;
  std::unique_ptr<platform::ConcurrentQueue> objTaskQueue_;
};

}  // namespace lumora
