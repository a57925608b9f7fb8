#include "account/KPPassportRequestDelegateInterface.h"
#include "account/KPSessionDelegateInterface.h"

namespace lumora {

KPPassportRequestDelegateInterface::KPPassportRequestDelegateInterface(
    LoadingBlock loadingBlock, DidReceiveResponseBlock didReceiveResponseBlock,
    DidFailWithErrorBlock didFailWithErrorBlock, DidLoadBlock didLoadBlock,
    DidLoadRawResponseBlock didLoadRawResponseBlock)
    : loadingBlock_(std::move(loadingBlock)),
      didReceiveResponseBlock_(std::move(didReceiveResponseBlock)),
      didFailWithErrorBlock_(std::move(didFailWithErrorBlock)),
      didLoadBlock_(std::move(didLoadBlock)),
      didLoadRawResponseBlock_(std::move(didLoadRawResponseBlock)) {
  // Every message is answered; an unset callback makes it a no-op. The hooks
  // live inside this object, so capturing `this` is safe.
  requestLoading = [this](const RequestPtr& request) {
    if (loadingBlock_) loadingBlock_(request);
  };
  requestDidReceiveResponse = [this](const RequestPtr& request, const platform::http::Response& response) {
    if (didReceiveResponseBlock_) didReceiveResponseBlock_(request, response);
  };
  requestDidFailWithError = [this](const RequestPtr& request, const platform::Error& error) {
    if (didFailWithErrorBlock_) didFailWithErrorBlock_(request, error);
  };
  requestDidLoad = [this](const RequestPtr& request, const platform::Json& reply) {
    if (didLoadBlock_) didLoadBlock_(request, reply);
  };
  requestDidLoadRawResponse = [this](const RequestPtr& request, const platform::Bytes& data) {
    if (didLoadRawResponseBlock_) didLoadRawResponseBlock_(request, data);
  };
}

KPSessionDelegateInterface::KPSessionDelegateInterface(DidLoginBlock didLoginBlock,
                                                       FailedWithErrorBlock failedWithErrorBlock,
                                                       SessionInvalidOrExpiredBlock sessionInvalidOrExpiredBlock,
                                                       DidSendPhoneTicketBlock didSendPhoneTicketBlock,
                                                       WillShowWebViewBlock willShowWebViewBlock)
    : didLoginBlock_(std::move(didLoginBlock)),
      failedWithErrorBlock_(std::move(failedWithErrorBlock)),
      sessionInvalidOrExpiredBlock_(std::move(sessionInvalidOrExpiredBlock)),
      didSendPhoneTicketBlock_(std::move(didSendPhoneTicketBlock)),
      willShowWebViewBlock_(std::move(willShowWebViewBlock)) {
  passportDidLogin = [this](const PassportPtr& passport) {
    if (didLoginBlock_) didLoginBlock_(passport);
  };
  passportFailedWithError = [this](const PassportPtr& passport, const platform::Error& error) {
    if (failedWithErrorBlock_) failedWithErrorBlock_(passport, error);
  };
  passportPassSessionInvalidOrExpired = [this](const PassportPtr& passport, const platform::Error& error) {
    if (sessionInvalidOrExpiredBlock_) sessionInvalidOrExpiredBlock_(passport, error);
  };
  passportDidSendPhoneTicket = [this](const PassportPtr& passport) {
    if (didSendPhoneTicketBlock_) didSendPhoneTicketBlock_(passport);
  };
  passportWillShowWebView = [this]() {
    if (willShowWebViewBlock_) willShowWebViewBlock_();
  };
}

}  // namespace lumora
