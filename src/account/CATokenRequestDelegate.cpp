#include "account/CATokenRequestDelegate.h"

#include <utility>

#include "platform/JsonValues.h"

namespace lumora {

CATokenRequestDelegate::CATokenRequestDelegate(Callback callback) : callback_(std::move(callback)) {
  requestDidLoad = [this](const RequestPtr&, const platform::Json& reply) {
    if (!callback_) return;
    std::optional<QBPassportCAToken> token;
    if (platform::isNonEmptyObject(reply)) {
      auto data = reply.find("data");
      if (data != reply.end()) {
        token = QBPassportCAToken::initWithToken(platform::stringAt(*data, "passport_ca_token"),
                                                 platform::stringAt(*data, "casecurity"));
      }
    }
    callback_(token, std::nullopt);
  };
  requestDidFailWithError = [this](const RequestPtr&, const platform::Error& error) {
    if (callback_) callback_(std::nullopt, error);
  };
}

}  // namespace lumora
