// Small helpers over the application and the dispatch layer: whether the
// program is an app extension, the shared application, opening URLs,
// activities around background work, delayed work, and naming the symbol
// at an address.
//
// Stateless; any thread (openURL as the application allows). Failure:
// none reported beyond each result (false, nullptr, two null texts).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/app/Application.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/OperationQueue.h"

namespace lumora {

// Info.plist "NSExtension"."NSExtensionPointIdentifier".
std::optional<std::string> BBXApplicationExtensionPointIdentifier();
bool BBXApplicationIsExtension();
// The shared application; nullptr inside an extension.
platform::Application* BBXApplicationSharedApplication();
// Opens `url` through `extensionOpen` when given, else the shared
// application (the completion hears its result at once).
using BBXExtensionOpenURL = std::function<void(const std::string&, std::function<void(bool)>)>;
void BBXApplicationOpenURL(const std::string& url, const BBXExtensionOpenURL& extensionOpen,
                           const std::function<void(bool)>& completion);
// An activity token: {"options": options, "reason": reason}.
nlohmann::json BBXApplicationBeginActivity(std::uint64_t options, const std::string& reason);
void BBXApplicationEndActivity(const nlohmann::json& token);
void BBXApplicationActivity(std::uint64_t options, const std::string& reason, const std::function<void()>& block);

void BBXDispatchAfterSeconds(platform::DispatchQueue& queue, double seconds, platform::DispatchQueue::Task block);
// After `seconds` on the global queue, adds `block` to `queue` (unless the
// queue is gone by then).
void BBXAddOperationAfterSeconds(const std::shared_ptr<platform::OperationQueue>& queue, double seconds,
                                 std::function<void()> block);
// The symbol and file names of `address` ("unknown" for a missing one), or
// two nulls when the loader knows nothing of it.
void BBXSymbolForAddress(const void* address, const std::function<void(const char*, const char*)>& block);

}  // namespace lumora
