// The core user information of a logging-in session: a derived
// "passportapi" session, its service token, one signed and encrypted GET,
// and one retry after a 401.
#include <utility>

#include "account/KPAESCoder.h"
#include "account/KPPassportRequestDelegateInterface.h"
#include "account/QBLoginPassport.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"
#include "platform/dispatch/MainQueue.h"

namespace lumora {
namespace {

template <class Arg>
std::function<void(const Arg&)> joinWithQueue(std::function<void(const Arg&)> block,
                                              std::shared_ptr<platform::DispatchQueue> queue) {
  return [block = std::move(block), queue = std::move(queue)](const Arg& argument) {
    if (!block) {
      LM_LOG_WARN("block is null...");
      return;
    }
    auto work = [block, argument] { block(argument); };
    if (queue) queue->async(std::move(work));
    else platform::MainQueue::main().async(std::move(work));
  };
}

}  // namespace

void QBLoginPassport::startFetchCoreInfo(CoreInfoSuccess success, CoreInfoFailure fail) {
  startFetchCoreInfo(std::move(success), std::move(fail), true);
}

void QBLoginPassport::startFetchCoreInfo(CoreInfoSuccess success, CoreInfoFailure fail,
                                         bool newPassportInstance) {
  auto session = newPassportInstance ? partialCopyWithSid(kCoreInfoSid) : self();
  auto queue = session->delegateQueue();
  auto wrappedSuccess = joinBlockAndQueue(success, queue);
  auto wrappedFail = joinFailBlockAndQueue(fail, queue);
  auto onReply = [parse = getBlockToParseCoreInfo(), wrappedSuccess, wrappedFail](const RequestPtr&,
                                                                                  const platform::Json& reply) {
    if (auto info = parse(reply)) {
      wrappedSuccess(*info);
    } else {
      wrappedFail(info.error());
    }
  };
  // The session keeps the token step's session delegate, and with it this
  // consumer, so the consumer refers to the session weakly. The request
  // delegate it makes holds the session while the request runs (a derived
  // session has no other owner); the login steps before it hold the session
  // themselves.
  std::weak_ptr<QBLoginPassport> weakSession = session;
  auto visit = [weakSession, newPassportInstance, success, fail, wrappedFail, onReply](
                   const std::optional<std::string>& userId, const std::optional<std::string>& serviceToken,
                   const std::optional<std::string>& security) {
    auto current = weakSession.lock();
    if (!current) return;
    auto retry = [current, success, fail] { current->startFetchCoreInfo(success, fail, false); };
    auto delegate = buildRequestDelegateForST(current, newPassportInstance, std::move(retry), wrappedFail, onReply);
    getBlockToVisitCoreInfo(std::move(delegate))(userId, serviceToken, security);
  };
  getBlockToFetchServiceTokenAndUseIt(session, std::move(visit), wrappedFail)();
}

std::shared_ptr<QBLoginPassport> QBLoginPassport::partialCopyWithSid(const std::string& sid) const {
  auto copy = create(userId(), sid, {});
  copy->setPassToken(passToken());
  copy->setCUserId(cUserId());
  copy->setDelegateQueue(delegateQueue());
  if (this->sid() == sid) {
    copy->setServiceToken(serviceToken());
    copy->setSSecurity(sSecurity());
  }
  return copy;
}

QBLoginPassport::CoreInfoSuccess QBLoginPassport::joinBlockAndQueue(
    CoreInfoSuccess block, std::shared_ptr<platform::DispatchQueue> queue) {
  return joinWithQueue(std::move(block), std::move(queue));
}

QBLoginPassport::CoreInfoFailure QBLoginPassport::joinFailBlockAndQueue(
    CoreInfoFailure block, std::shared_ptr<platform::DispatchQueue> queue) {
  return joinWithQueue(std::move(block), std::move(queue));
}

QBPassport::ServiceTokenConsumer QBLoginPassport::getBlockToVisitCoreInfo(RequestDelegatePtr delegate) {
  return [delegate = std::move(delegate)](const std::optional<std::string>& userId,
                                          const std::optional<std::string>& serviceToken,
                                          const std::optional<std::string>& security) {
    const std::string url = ServiceHosts::baseURL(ServiceHosts::kAccountApi) + kCoreInfoPath;
    auto params = std::make_shared<Params>();
    (*params)["userId"] = userId.value_or("");
    auto request = QBPassportRequest::requestWithParams(params, "GET", buildCookiesForST(url, userId, serviceToken),
                                                        delegate, url);
    const std::string key = security.value_or("");
    request->cryptWithCoder(std::make_shared<KPAESCoder>(key), key);
    request->connect();
  };
}

QBLoginPassport::CoreInfoParser QBLoginPassport::getBlockToParseCoreInfo() {
  return [](const platform::Json& reply) { return KPUserCoreInfo::parseReply(reply); };
}

}  // namespace lumora
