// A scripted gallery service for the image sync adapter's tests: the adapter
// sends its gallery requests to `respond` instead of the network (the
// parameters travel in plain JSON in a header of the fake request, so that a
// redirected repeat carries them too), signed in as user 10001.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/request/LMJsonResponseSerialization.h"
#include "cloud/request/LMSessionSource.h"
#include "platform/Bytes.h"

namespace fakegallery {

using platform::Json;

inline constexpr const char* kParametersHeader = "X-Fake-Parameters";
inline constexpr const char* kUserPath = "/lum/gallery/v3/user/10001";

struct Call {
  std::string method;
  std::string path;  // after the user's path
  Json parameters;
};

// What the gallery answers: the reply's "data", or an error.
using Responder = std::function<platform::Result<Json>(const Call&)>;

// The responder, set from the test's thread while a screen's request may
// read it on a worker.
class GuardedResponder {
 public:
  GuardedResponder& operator=(Responder responder) {
    std::lock_guard<std::mutex> guard(mutex_);
    responder_ = std::move(responder);
    return *this;
  }
  operator Responder() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return responder_;
  }

 private:
  mutable std::mutex mutex_;
  Responder responder_;
};

class FakeGallery {
 public:
  platform::Result<Json> answer(Call call) {
    Responder responder;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      calls_.push_back(call);
      responder = respond;
    }
    if (!responder) return Json::object();
    return responder(call);
  }
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }
  std::vector<Call> callsTo(const std::string& method, const std::string& path) {
    std::vector<Call> matching;
    for (const Call& call : calls()) {
      if (call.method == method && call.path == path) matching.push_back(call);
    }
    return matching;
  }

  GuardedResponder respond;

 private:
  std::mutex mutex_;
  std::vector<Call> calls_;
};

// Reads the fake's replies: plain JSON, a non-zero "code" an error.
class PlainJsonSerialization : public lumora::LMHTTPResponseSerialization {
 public:
  lumora::LMDecodedReply responseObjectForResponse(const std::optional<platform::http::Response>&,
                                                   const platform::Bytes& data,
                                                   const std::optional<std::string>&) const override {
    lumora::LMDecodedReply reply;
    reply.object = Json::parse(platform::toString(data));
    reply.status = lumora::LMJsonResponseSerialization::validateLMJSONObject(reply.object);
    return reply;
  }
};

class ScriptedOperation : public lumora::LMHTTPRequestOperation {
 public:
  ScriptedOperation(platform::http::Request request, std::shared_ptr<FakeGallery> gallery)
      : LMHTTPRequestOperation(std::move(request), "lumora"), gallery_(std::move(gallery)) {
    setResponseSerializer(std::make_shared<PlainJsonSerialization>());
  }

 protected:
  void main() override {
    const platform::http::Request sent = request();
    std::string path = sent.url.substr(sent.url.find(kUserPath) + std::string(kUserPath).size());
    auto reply = gallery_->answer(
        {sent.method, path, Json::parse(sent.headers.value(kParametersHeader).value_or("{}"))});
    if (!reply.ok()) {
      setError(reply.error());
      return;
    }
    setResponseData(platform::toBytes(Json{{"code", 0}, {"data", *reply}}.dump()));
  }

 private:
  std::shared_ptr<FakeGallery> gallery_;
};

class SignedIn : public lumora::LMSessionSource {
 public:
  std::optional<std::string> userId() override { return "10001"; }
  platform::Result<lumora::LMSignedSession> sessionForSid(const std::string&) override {
    return lumora::LMSignedSession{"10001", "token", "a2V5"};
  }
  bool canReLoginForSid(const std::string&) override { return false; }
  platform::Status reLoginForSid(const std::string&) override { return platform::Status::success(); }
};

class Adapter : public lumora::LMImageSyncAdapter {
 public:
  explicit Adapter(std::shared_ptr<FakeGallery> gallery) : gallery_(std::move(gallery)) {
    httpRequestManager()->setSessionSource(std::make_shared<SignedIn>());
  }

 protected:
  std::shared_ptr<lumora::LMHTTPRequestOperation> galleryOperation(const std::string& method,
                                                                   const std::string& URLString,
                                                                   const Json& parameters) override {
    platform::http::Request request;
    request.method = method;
    request.url = URLString;
    request.headers.set(kParametersHeader, parameters.dump());
    return std::make_shared<ScriptedOperation>(std::move(request), gallery_);
  }
  std::shared_ptr<lumora::LMHTTPRequestOperation> operationWithRequest(
      platform::http::Request request, const std::string&, const std::optional<lumora::LMSignedSession>&) override {
    return std::make_shared<ScriptedOperation>(std::move(request), gallery_);
  }

 private:
  std::shared_ptr<FakeGallery> gallery_;
};

}  // namespace fakegallery
