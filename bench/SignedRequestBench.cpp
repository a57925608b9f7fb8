// Signed cloud requests through the client's own path, against an in-process
// local cloud over loopback: each round trip builds the signed request
// (LMHTTPRequestOperationManager: AES of the parameters, signature, cookie),
// sends it (LMHTTPRequestOperation over platform::http), decrypts and parses
// the reply. The request is the relocation record POST.
//
// References in the same run: replaying the very same signed request on a
// kept-alive raw libcurl handle (BM_SignedRequest_Reference: what the server
// itself costs), and a plain kept-alive GET of the cloud's ping route
// (BM_KeepAliveGet). Each runs on 1 and on 8 threads; counters give the
// total rate ("req/s"), the 8-thread rate as a multiple of the 1-thread rate
// ("x1thread") and the 99th percentile and longest round trip in
// milliseconds ("p99ms", "maxms").
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/request/LMHTTPRequestOperationManager.h"
#include "cloud/request/LMSessionSource.h"
#include "platform/AppHome.h"
#include "server/CloudServer.h"
#include "server/Crypto.h"

namespace {

constexpr std::int64_t kUserId = 9001;
constexpr const char* kUserIdText = "9001";
constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";  // 16 ASCII bytes
constexpr const char* kPath = "/lum/relocation/v3/user/9001/record";
constexpr const char* kSid = "lumora";
constexpr int kMaxThreads = 8;

std::string escape(CURL* curl, const std::string& text) {
  char* out = curl_easy_escape(curl, text.c_str(), static_cast<int>(text.size()));
  std::string escaped = out ? out : "";
  curl_free(out);
  return escaped;
}

// The bench's one signed-in session, handed out as the passports would.
class FixedSessionSource final : public lumora::LMSessionSource {
 public:
  explicit FixedSessionSource(lumora::LMSignedSession session) : session_(std::move(session)) {}
  std::optional<std::string> userId() override { return session_.userId; }
  platform::Result<lumora::LMSignedSession> sessionForSid(const std::string&) override {
    return session_;
  }
  bool canReLoginForSid(const std::string&) override { return false; }
  platform::Status reLoginForSid(const std::string&) override { return lumora::LMNotLoggedInError(); }

 private:
  const lumora::LMSignedSession session_;
};

// One local cloud and app home for the whole run, over fresh directories
// that go with it.
class Cloud {
 public:
  Cloud() {
    char pattern[] = "/tmp/lumora-signed-bench-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    dir_ = pattern;
    platform::AppHome::setRoot(dir_ / "home");
    std::string error;
    server_ = localcloud::CloudServer::create(dir_ / "cloud", &error);
    if (!server_ || !server_->start(0, &error)) {
      std::cerr << "cannot start the local cloud: " << error << "\n";
      std::abort();
    }
    localcloud::LoginGrant grant;
    grant.userId = kUserId;
    grant.serviceId = kSid;
    grant.ssecurity = kKey;
    std::string token = server_->store().issueServiceToken(grant);
    sessions_ = std::make_shared<FixedSessionSource>(lumora::LMSignedSession{kUserIdText, token, kKey});
    cookie_ = "Cookie: userId=" + std::string(kUserIdText) + "; serviceToken=" + token;
    std::map<std::string, std::string> params{
        {"romCountry", *localcloud::crypto::aesEncryptBase64("CN", kKey)}};
    auto signature = localcloud::crypto::requestSignature("POST", kPath, params, kKey);
    CURL* curl = curl_easy_init();
    body_ = "romCountry=" + escape(curl, params["romCountry"]) + "&signature=" + escape(curl, *signature);
    curl_easy_cleanup(curl);
    url_ = server_->url() + kPath;
    pingUrl_ = server_->url() + "/_admin/ping";
  }
  ~Cloud() {
    server_->stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  const std::string& url() const { return url_; }
  const std::string& pingUrl() const { return pingUrl_; }
  const std::string& body() const { return body_; }
  const std::string& cookie() const { return cookie_; }
  const std::shared_ptr<lumora::LMSessionSource>& sessions() const { return sessions_; }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<localcloud::CloudServer> server_;
  std::shared_ptr<lumora::LMSessionSource> sessions_;
  std::string url_;
  std::string pingUrl_;
  std::string body_;
  std::string cookie_;
};

Cloud& cloud() {
  static Cloud instance;
  return instance;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// The round-trip times of one run, one list per thread. A thread writes only
// its own list inside the timed loop; thread 0 reads them all once every
// thread has left it.
struct Latencies {
  std::array<std::vector<double>, kMaxThreads> perThread;
};

// Per benchmark name: the latest 1-thread rate, for the 8-thread multiple.
std::mutex ratesMutex;
std::map<std::string, double> oneThreadRates;

// Times `roundTrip` (true when it succeeded) once per iteration and reports
// the counters described at the top.
template <typename RoundTrip>
void measure(benchmark::State& state, const std::string& name, RoundTrip roundTrip) {
  static Latencies latencies[2];  // [0]: 1 thread, [1]: more
  Latencies& run = latencies[state.threads() == 1 ? 0 : 1];
  auto& mine = run.perThread[static_cast<std::size_t>(state.thread_index())];
  mine.clear();
  mine.reserve(1 << 16);

  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto before = std::chrono::steady_clock::now();
    if (!roundTrip()) {
      state.SkipWithError("a request failed");
      break;
    }
    mine.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count());
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() != 0 || seconds <= 0) return;

  std::vector<double> all;
  for (int t = 0; t < state.threads(); ++t) {
    const auto& list = run.perThread[static_cast<std::size_t>(t)];
    all.insert(all.end(), list.begin(), list.end());
  }
  if (all.empty()) return;
  std::sort(all.begin(), all.end());
  double rate = static_cast<double>(all.size()) / seconds;
  state.counters["req/s"] = rate;
  state.counters["p99ms"] = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  state.counters["maxms"] = all.back();
  std::lock_guard<std::mutex> guard(ratesMutex);
  if (state.threads() == 1) {
    oneThreadRates[name] = rate;
  } else if (auto one = oneThreadRates.find(name); one != oneThreadRates.end()) {
    state.counters["x1thread"] = rate / one->second;
  }
}

// A kept-alive raw libcurl handle for one thread.
class RawHandle {
 public:
  RawHandle(const std::string& url, const std::string* body, const std::string* cookie) {
    curl_ = curl_easy_init();
    if (cookie) headers_ = curl_slist_append(nullptr, cookie->c_str());
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    if (body) curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body->c_str());
    if (headers_) curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  }
  ~RawHandle() {
    curl_slist_free_all(headers_);
    curl_easy_cleanup(curl_);
  }
  bool perform() {
    long status = 0;
    return curl_easy_perform(curl_) == CURLE_OK &&
           curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
  }

 private:
  CURL* curl_ = nullptr;
  curl_slist* headers_ = nullptr;
};

void BM_SignedRequest(benchmark::State& state) {
  Cloud& target = cloud();
  lumora::LMHTTPRequestOperationManager manager(target.sessions());
  const platform::Json parameters{{"romCountry", "CN"}};
  measure(state, "signed", [&] {
    auto operation = manager.POST(target.url(), parameters, kSid);
    operation->start();
    auto reply = operation->result();
    return reply.ok() && reply->is_object();
  });
}

void BM_SignedRequest_Reference(benchmark::State& state) {
  Cloud& target = cloud();
  RawHandle handle(target.url(), &target.body(), &target.cookie());
  measure(state, "replay", [&] { return handle.perform(); });
}

void BM_KeepAliveGet(benchmark::State& state) {
  Cloud& target = cloud();
  RawHandle handle(target.pingUrl(), nullptr, nullptr);
  measure(state, "get", [&] { return handle.perform(); });
}

BENCHMARK(BM_SignedRequest)->Threads(1)->Threads(kMaxThreads)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SignedRequest_Reference)->Threads(1)->Threads(kMaxThreads)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_KeepAliveGet)->Threads(1)->Threads(kMaxThreads)->UseRealTime()->MinTime(1.0);

}  // namespace
