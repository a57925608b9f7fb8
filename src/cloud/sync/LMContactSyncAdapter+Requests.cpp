// The contact service's requests and the rule every one of them follows:
// the signed-in user, the request loop (four sends at most, redirects not
// counted) and a minimum time per send measured on the clock.
#include <algorithm>
#include <utility>

#include "cloud/sync/LMContactBatchReply.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/request/LMSignedSession.h"
#include "platform/Bytes.h"
#include "platform/dispatch/Clock.h"
#include "platform/JsonValues.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

// "/lum/contact/v3/user/<user>/full" and what follows it.
std::string listPath(const std::string& userId, const char* rest = "") {
  return "/lum/contact/v3/user/" + userId + "/full" + rest;
}

}  // namespace

std::optional<std::string> LMContactSyncAdapter::signedInUserId() const {
  auto userId = httpRequestManager()->sessionSource()->userId();
  if (!platform::hasText(userId)) return std::nullopt;
  return userId;
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::operationWithMethod(
    const std::string& method, const std::string& URLString, const platform::Json& parameters) {
  return httpRequestManager()->requestWithMethod(method, URLString, parameters, kLumoraPassportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::sendPaced(const OperationFactory& make,
                                                                        double minimumSeconds) {
  // Each send (redirected ones too) takes at least the minimum on the
  // clock; a cancel ends the wait.
  return requestLoop()->run(make, true, platform::seconds(std::max(minimumSeconds, 0.0)));
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::sendContactRequest(const std::string& method,
                                                                                 const std::string& path,
                                                                                 const platform::Json& parameters,
                                                                                 double minimumSeconds) {
  const std::string url = contactURL() + path;
  return sendPaced([&] { return operationWithMethod(method, url, parameters); }, minimumSeconds);
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::notSignedIn() {
  platform::Error failure = LMNotLoggedInError();
  LM_LOG_ERROR("{}", failure.description());
  return std::make_shared<LMHTTPRequestOperation>(failure, LMSyncAdapter::kLumoraPassportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::requestRecordListWithSyncTag(
    std::optional<std::int64_t> syncTag, const std::optional<std::string>& syncExtraInfo,
    std::optional<std::int64_t> limit, const std::vector<std::int64_t>& filterTags) {
  auto userId = signedInUserId();
  if (!userId) return notSignedIn();

  platform::Json parameters = platform::Json::object();
  parameters["syncTag"] = std::to_string(syncTag.value_or(0));
  if (platform::hasText(syncExtraInfo)) parameters["syncExtraInfo"] = *syncExtraInfo;
  // The cloud lists 1 to 500 records a page: no limit, or one of 0 or
  // less, asks for the default page.
  std::int64_t pageLimit = limit.value_or(kDefaultPageLimit);
  if (pageLimit <= 0) pageLimit = kDefaultPageLimit;
  parameters["limit"] = std::to_string(std::min(pageLimit, kMaxPageLimit));
  if (!filterTags.empty()) {
    std::string joined;
    for (std::int64_t tag : filterTags) {
      if (!joined.empty()) joined += ",";
      joined += std::to_string(tag);
    }
    parameters["filterTag"] = joined;
  }
  return sendContactRequest("GET", listPath(*userId), parameters, 0);
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::requestRecordOperation(
    const LMContactOperation& operation) {
  auto userId = signedInUserId();
  auto path = operation.path(userId);
  if (!path || path->empty()) {
    // No path because nobody is signed in is the not-signed-in failure.
    return userId ? nullptr : notSignedIn();
  }
  platform::Json parameters = operation.dictionaryForLumoraJSON().value_or(platform::Json::object());
  auto data = parameters.find("data");
  if (data != parameters.end() && platform::isNonEmptyString(*data)) {
    parameters["entry"] = std::move(*data);
    parameters.erase("data");
  }
  return sendContactRequest("POST", *path, parameters, 0);
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::requestRecordOperationWithRecord(
    std::shared_ptr<LMRecord> record, std::int32_t type) {
  return requestRecordOperation(LMContactOperation(std::move(record), type));
}

std::shared_ptr<LMHTTPRequestOperation> LMContactSyncAdapter::requestRecordBatchOperations(
    const std::vector<LMContactOperation>& operations) {
  if (operations.empty()) return nullptr;
  auto userId = signedInUserId();
  if (!userId) return notSignedIn();

  platform::Json batch = platform::Json::array();
  for (const LMContactOperation& operation : operations) {
    platform::Json item = platform::Json::object();
    if (auto path = operation.path(userId); path && !path->empty()) item["path"] = *path;
    if (auto params = operation.dictionaryForLumoraJSON(); params && params->is_object() && !params->empty()) {
      item["params"] = std::move(*params);
    }
    batch.push_back(std::move(item));
  }
  auto content = LMUtils::stringFromJSONObject(batch);
  if (!content) return std::make_shared<LMHTTPRequestOperation>(content.error(), kLumoraPassportSid);
  return sendContactRequest("POST", listPath(*userId, "/batch"), platform::Json{{"batchContent", *content}},
                            kBatchMinimumSeconds);
}

platform::Status LMContactSyncAdapter::pushInBatches(const std::vector<LMContactOperation>& operations,
                                                     const BeforeBatch& beforeBatch, const TakeItem& take) {
  for (std::size_t start = 0; start < operations.size(); start += kBatchSize) {
    const std::size_t end = std::min(operations.size(), start + kBatchSize);
    const std::vector<LMContactOperation> batch(operations.begin() + static_cast<std::ptrdiff_t>(start),
                                                operations.begin() + static_cast<std::ptrdiff_t>(end));
    if (beforeBatch) {
      if (platform::Status ready = beforeBatch(batch); !ready.ok()) return ready;
    }
    auto operation = requestRecordBatchOperations(batch);
    platform::Result<platform::Json> reply = operation ? operation->result() : platform::Json();
    if (!reply.ok()) return reply.error();
    platform::Result<platform::Json> items = batchReplyItems(*reply, batch.size());
    if (!items.ok()) return items.error();
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const platform::Json& item = (*items)[i];
      if (auto outcome = batchItemStatus(item); !outcome) return outcome;
      if (!take) continue;
      if (auto taken = take(batch[i], item); !taken) return taken;
    }
  }
  return platform::Status::success();
}

}  // namespace lumora
