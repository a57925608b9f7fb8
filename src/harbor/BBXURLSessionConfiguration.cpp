#include "harbor/BBXURLSessionConfiguration.h"

namespace lumora {

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::defaultSessionConfiguration() {
  return std::make_shared<BBXURLSessionConfiguration>();
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::ephemeralSessionConfiguration() {
  return std::make_shared<BBXURLSessionConfiguration>();
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
    const std::string&) {
  return nullptr;
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::backgroundSessionConfiguration(
    const std::string& identifier) {
  return backgroundSessionConfigurationWithIdentifier(identifier);
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::copy() const {
  auto copied = std::make_shared<BBXURLSessionConfiguration>();
  copied->HTTPAdditionalHeaders = HTTPAdditionalHeaders;
  return copied;
}

}  // namespace lumora
