// Throughput of the local cloud over loopback: clients replay one fixed
// signed request (the relocation record POST: token look-up, signature,
// AES of the parameters and of the reply, one read of the store), each on
// its own kept-alive libcurl connection, 1 client against 8. The 8-client
// run reports its rate as a multiple of the 1-client rate ("x1client").
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "LocalCloudBenchSupport.h"
#include "server/CloudServer.h"
#include "server/Crypto.h"

namespace {

constexpr std::int64_t kUserId = 9001;
constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";  // 16 ASCII bytes
constexpr const char* kPath = "/lum/relocation/v3/user/9001/record";

std::string escape(CURL* curl, const std::string& text) {
  char* out = curl_easy_escape(curl, text.c_str(), static_cast<int>(text.size()));
  std::string escaped = out ? out : "";
  curl_free(out);
  return escaped;
}

// One local cloud for the whole run, with the replayed request.
class Cloud {
 public:
  Cloud() {
    cookie_ = "Cookie: userId=" + std::to_string(kUserId) + "; serviceToken=" + cloud_.serviceToken(kUserId, kKey);
    std::map<std::string, std::string> params{
        {"romCountry", *localcloud::crypto::aesEncryptBase64("CN", kKey)}};
    auto signature = localcloud::crypto::requestSignature("POST", kPath, params, kKey);
    CURL* curl = curl_easy_init();
    body_ = "romCountry=" + escape(curl, params["romCountry"]) +
            "&signature=" + escape(curl, *signature);
    curl_easy_cleanup(curl);
    url_ = cloud_.server().url() + kPath;
  }

  const std::string& url() const { return url_; }
  const std::string& body() const { return body_; }
  const std::string& cookie() const { return cookie_; }

 private:
  cloudbench::BenchCloud cloud_;
  std::string url_;
  std::string body_;
  std::string cookie_;
};

Cloud& cloud() {
  static Cloud instance;
  return instance;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

std::atomic<double> oneClientRate{0};

void BM_ReplaySignedRequest(benchmark::State& state) {
  Cloud& target = cloud();
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, target.cookie().c_str());
  curl_easy_setopt(curl, CURLOPT_URL, target.url().c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, target.body().c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

  std::chrono::steady_clock::time_point start;
  bool first = true;
  for (auto _ : state) {
    if (first) {
      start = std::chrono::steady_clock::now();
      first = false;
    }
    long status = 0;
    if (curl_easy_perform(curl) != CURLE_OK ||
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);

  // Every thread runs the same number of iterations, and all have ended
  // when the first one leaves the loop.
  if (state.thread_index() == 0 && seconds > 0) {
    double rate = static_cast<double>(state.iterations()) * state.threads() / seconds;
    state.counters["req/s"] = rate;
    if (state.threads() == 1) {
      oneClientRate = rate;
    } else if (oneClientRate > 0) {
      state.counters["x1client"] = rate / oneClientRate;
    }
  }
}
BENCHMARK(BM_ReplaySignedRequest)->Threads(1)->Threads(8)->UseRealTime()->MinTime(2.0);

}  // namespace
