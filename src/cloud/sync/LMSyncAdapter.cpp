#include "cloud/sync/LMSyncAdapter.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "cloud/sync/LMSync.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/app/BackgroundTask.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

// A platform background task held by one background job from the moment it
// is queued until it has run or was dropped, so the app is not suspended
// while the job waits for the one before it. When the time runs out the
// task is ended and the job goes on as far as the platform lets it.
class BackgroundTaskHold {
 public:
  static std::shared_ptr<BackgroundTaskHold> begin(const std::string& name) {
    auto hold = std::make_shared<BackgroundTaskHold>();
    std::weak_ptr<BackgroundTaskHold> weak = hold;
    hold->identifier_ = platform::BackgroundTask::begin(name, [weak, name] {
      LM_LOG_WARN("Background time ran out for a job of {}", name);
      if (auto alive = weak.lock()) alive->end();
    });
    return hold;
  }
  ~BackgroundTaskHold() { end(); }

  void end() { platform::BackgroundTask::end(identifier_.exchange(platform::BackgroundTask::kInvalid)); }

 private:
  std::atomic<platform::BackgroundTask::Identifier> identifier_{platform::BackgroundTask::kInvalid};
};

}  // namespace

LMSyncAdapter::LMSyncAdapter(std::shared_ptr<QBPassportsManager> passports)
    : passports_(passports ? std::move(passports) : QBPassportsManager::sharedManager()),
      httpRequestManager_(std::make_shared<LMHTTPRequestOperationManager>(
          std::make_shared<LMPassportsSessionSource>(passports_))),
      requestLoop_(std::make_shared<LMHTTPRequestLoop>(httpRequestManager_)),
      relocation_(requestLoop_),
      deviceInfo_(passports_, requestLoop_),
      taskOperationQueue_("com.quenby.lumora.sdk.task.queue", 1),
      dataRequestOperationQueue_("com.quenby.lumora.sdk.data.request.queue", 1) {
  httpRequestManager_->requestSerializer()->setTimeoutInterval(30.0);
  // The loop lives no longer than the adapter, which cancels it as it goes.
  requestLoop_->setRedirectFactory(
      [this](platform::http::Request request, const std::string& sid,
             const std::optional<LMSignedSession>& session) {
        return operationWithRequest(std::move(request), sid, session);
      });
  requestLoop_->setPermanentRedirectHandler(
      [this] { relocation_.requestHostListWithRomCountry(std::nullopt, forTest()); });
}

LMSyncAdapter::~LMSyncAdapter() { requestLoop_->cancel(); }

// ---- Task queue and flags ----

void LMSyncAdapter::performTaskBlock(std::function<void()> block) {
  performTaskBlock(std::move(block), false);
}

void LMSyncAdapter::performTaskBlock(std::function<void()> block, bool background) {
  std::lock_guard<std::recursive_mutex> guard(operationQueueLock_);
  if (!block) return;
  std::shared_ptr<BackgroundTaskHold> hold;
  if (background) hold = BackgroundTaskHold::begin(taskOperationQueue_.name());
  // A dropped job releases its task with the operation that holds it.
  auto operation = std::make_shared<platform::Operation>(
      [block = std::move(block), hold](const platform::Operation&) {
        block();
        if (hold) hold->end();
      });
  setInBackground(operation, background);
  taskOperationQueue_.addOperation(operation);
}

bool LMSyncAdapter::backgroundTaskIsRunning() const {
  std::lock_guard<std::recursive_mutex> guard(operationQueueLock_);
  auto operations = taskOperationQueue_.operations();
  if (operations.empty()) return false;
  return inBackground(*operations.back());
}

void LMSyncAdapter::setSyncing(bool syncing) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (syncing_.load() == syncing) return;
  syncing_.store(syncing);
  suspended_.store(false);
  cancelled_.store(false);
}

void LMSyncAdapter::setCancelled(bool cancelled) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  cancelled_.store(cancelled);
}

void LMSyncAdapter::setSuspended(bool suspended) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  suspended_.store(suspended);
}

bool LMSyncAdapter::suspendSync() { return false; }
bool LMSyncAdapter::resumeSync() { return false; }
bool LMSyncAdapter::cancelSync() { return false; }

void LMSyncAdapter::performMainThreadBlock(const std::function<void()>& block) {
  if (!block) return;
  if (platform::MainQueue::isMainThread()) {
    block();
  } else {
    platform::MainQueue::main().sync(block);
  }
}

void LMSyncAdapter::fileAPIProtectionTime(double seconds, const std::function<void()>& block) {
  auto clock = platform::Clock::current();
  auto start = clock->steadyNow();
  if (block) block();
  auto elapsed = clock->steadyNow() - start;
  auto minimum = platform::seconds(seconds);
  if (elapsed < minimum) clock->sleepFor(minimum - elapsed);
}

// ---- Hosts and relocation ----

std::shared_ptr<LMHTTPRequestOperation> LMSyncAdapter::requestHostListWithRomCountry(
    const std::optional<std::string>& romCountry) {
  return relocation_.requestHostListWithRomCountry(romCountry, forTest());
}

std::shared_ptr<LMHTTPRequestOperation> LMSyncAdapter::operationWithRequest(
    platform::http::Request request, const std::string& passportSid,
    const std::optional<LMSignedSession>& session) {
  return httpRequestManager_->HTTPRequestOperationWithRequest(std::move(request), passportSid, session);
}

// ---- Device information ----

void LMSyncAdapter::registerDeviceInfo(std::function<void(const platform::Status&)> completion) {
  std::weak_ptr<LMSyncAdapter> weakSelf = weak_from_this();
  platform::globalQueue().async([weakSelf, completion = std::move(completion)] {
    platform::Status outcome;
    if (auto self = weakSelf.lock()) {
      outcome = self->updateDeviceInfoServiceInfo();
      if (outcome.ok()) {
        auto registered = self->requestRegisterDeviceInfo()->result();
        if (!registered.ok()) outcome = registered.error();
      }
    } else {
      outcome = LMUtils::localErrorWithErrorCode(
          kLMLocalErrorGeneral, {{kLMErrorReasonKey, "The sync adapter no longer exists."},
                                 {kLMErrorDescriptionKey, kLMErrorTitleSync}});
    }
    if (!completion) return;
    platform::MainQueue::main().async([completion, outcome] { completion(outcome); });
  });
}

}  // namespace lumora
