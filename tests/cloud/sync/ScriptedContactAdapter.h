// A contact sync adapter over a scripted cloud, for the tests of its
// requests: every signed send (GET, POST, multipart POST) is recorded and
// answered with the next scripted outcome (a JSON reply, failing in the
// server domain when its "code" is not 0, or a transport error), without
// any network.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "utils/LMErrors.h"

namespace scriptedcloud {

using namespace lumora;
using platform::Error;
using platform::Json;

// Answers with the reply it was made with; a reply whose "code" is not 0
// fails in the server domain, as the cloud's replies do.
class ScriptedSerializer : public LMHTTPResponseSerialization {
 public:
  explicit ScriptedSerializer(Json reply) : reply_(std::move(reply)) {}
  LMDecodedReply responseObjectForResponse(const std::optional<platform::http::Response>&, const platform::Bytes&,
                                           const std::optional<std::string>&) const override {
    const std::int64_t code = reply_.is_object() ? reply_.value("code", 0) : 0;
    if (code != 0) return {reply_, Error(kLMServerErrorDomain, code, reply_)};
    return {reply_, platform::Status::success()};
  }

 private:
  Json reply_;
};

// A send: the reply it gets (a JSON reply, or a transport error).
using Outcome = std::variant<Json, Error>;

class FakeOperation : public LMHTTPRequestOperation {
 public:
  FakeOperation(platform::http::Request request, Outcome outcome)
      : LMHTTPRequestOperation(std::move(request), "lumora"), outcome_(std::move(outcome)) {}

 protected:
  void main() override {
    if (auto* error = std::get_if<Error>(&outcome_)) {
      setError(*error);
      return;
    }
    setResponseSerializer(std::make_shared<ScriptedSerializer>(std::get<Json>(outcome_)));
    setResponseData(platform::Bytes{'{', '}'});
  }

 private:
  Outcome outcome_;
};

struct Sent {
  std::string method;
  std::string url;
  Json parameters;
  std::optional<LMContactSyncAdapter::FilePart> part;  // of a multipart POST
};

class ScriptedAdapter : public LMContactSyncAdapter {
 public:
  std::mutex mutex;
  std::deque<Outcome> replies;
  Outcome fallback = Json{{"code", 0}};  // when the script has run out
  // A fallback page's "syncTag" becomes the number of sends, so that each
  // one moves the listing on.
  bool fallbackMoves = false;
  std::vector<Sent> sent;

 protected:
  std::shared_ptr<LMHTTPRequestOperation> operationWithMethod(const std::string& method, const std::string& url,
                                                              const Json& parameters) override {
    return answer(Sent{method, url, parameters, std::nullopt});
  }
  std::shared_ptr<LMHTTPRequestOperation> multipartOperationWithURL(const std::string& url, const Json& parameters,
                                                                    const FilePart& part) override {
    return answer(Sent{"POST", url, parameters, part});
  }

 private:
  std::shared_ptr<LMHTTPRequestOperation> answer(Sent sending) {
    std::lock_guard<std::mutex> guard(mutex);
    platform::http::Request request;
    request.method = sending.method;
    request.url = sending.url;
    sent.push_back(std::move(sending));
    Outcome next = fallback;
    if (!replies.empty()) {
      next = replies.front();
      replies.pop_front();
    } else if (auto* page = std::get_if<Json>(&next); fallbackMoves && page && page->contains("data")) {
      (*page)["data"]["syncTag"] = sent.size();
    }
    return std::make_shared<FakeOperation>(std::move(request), std::move(next));
  }
};

}  // namespace scriptedcloud
