#include "blackbox/BBXApplication.h"

#include <dlfcn.h>

#include "platform/device/Bundle.h"
#include "platform/dispatch/ConcurrentQueue.h"

namespace lumora {

std::optional<std::string> BBXApplicationExtensionPointIdentifier() {
  const auto extension = platform::Bundle::infoValue("NSExtension");
  if (!extension || !extension->is_object()) return std::nullopt;
  const auto identifier = extension->find("NSExtensionPointIdentifier");
  if (identifier == extension->end() || !identifier->is_string()) return std::nullopt;
  return identifier->get<std::string>();
}

bool BBXApplicationIsExtension() { return BBXApplicationExtensionPointIdentifier().has_value(); }

platform::Application* BBXApplicationSharedApplication() {
  return BBXApplicationIsExtension() ? nullptr : &platform::Application::shared();
}

void BBXApplicationOpenURL(const std::string& url, const BBXExtensionOpenURL& extensionOpen,
                           const std::function<void(bool)>& completion) {
  if (extensionOpen) {
    extensionOpen(url, completion);
    return;
  }
  platform::Application* application = BBXApplicationSharedApplication();
  const bool opened = application != nullptr && application->openURL(url);
  if (completion) completion(opened);
}

nlohmann::json BBXApplicationBeginActivity(std::uint64_t options, const std::string& reason) {
  return {{"options", options}, {"reason", reason}};
}

void BBXApplicationEndActivity(const nlohmann::json&) {}

void BBXApplicationActivity(std::uint64_t options, const std::string& reason, const std::function<void()>& block) {
  const nlohmann::json token = BBXApplicationBeginActivity(options, reason);
  if (block) block();
  BBXApplicationEndActivity(token);
}

void BBXDispatchAfterSeconds(platform::DispatchQueue& queue, double seconds, platform::DispatchQueue::Task block) {
  queue.asyncAfter(platform::seconds(seconds), std::move(block));
}

void BBXAddOperationAfterSeconds(const std::shared_ptr<platform::OperationQueue>& queue, double seconds,
                                 std::function<void()> block) {
  platform::globalQueue().asyncAfter(
      platform::seconds(seconds), [weak = std::weak_ptr<platform::OperationQueue>(queue), block = std::move(block)] {
        if (auto target = weak.lock()) target->addOperation(std::function<void()>(block));
      });
}

void BBXSymbolForAddress(const void* address, const std::function<void(const char*, const char*)>& block) {
  if (!block) return;
  Dl_info info{};
  if (dladdr(address, &info) == 0) {
    block(nullptr, nullptr);
    return;
  }
  block(info.dli_sname != nullptr ? info.dli_sname : "unknown", info.dli_fname != nullptr ? info.dli_fname : "unknown");
}

}  // namespace lumora
