// Signed cloud requests through the client's own path, against an in-process
// local cloud over loopback: each round trip builds the signed request
// (LMHTTPRequestOperationManager: AES of the parameters, signature, cookie),
// sends it (LMHTTPRequestOperation over platform::http), decrypts and parses
// the reply. The request is the relocation record POST.
//
// References in the same run: replaying the very same signed request (the
// client's own, built once by its serializer: URL, header lines and body as
// it sends them) on a kept-alive raw libcurl handle
// (BM_SignedRequest_Reference: what the server itself costs), and a plain
// kept-alive GET of the cloud's ping route (BM_KeepAliveGet). Each runs on 1 and on 8 threads; counters give the
// total rate ("req/s"), the 8-thread rate as a multiple of the 1-thread rate
// ("x1thread") and the 99th percentile and longest round trip in
// milliseconds ("p99ms", "maxms"). BM_SignedRequestInTurns takes one signed
// round trip and one replay in turns on one thread, for a 1-thread ratio
// that load changing on the machine moves less.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SignedCloudBenchSupport.h"
#include "cloud/request/LMHTTPRequestOperationManager.h"
#include "cloud/request/LMHTTPRequestSerialization.h"
#include "cloud/request/LMSessionSource.h"
#include "platform/storage/AppHome.h"

namespace {

using benchcloud::kKey;
using benchcloud::kSid;
using benchcloud::RawHandle;
constexpr int kMaxThreads = 8;
const platform::Json kParameters{{"romCountry", "CN"}};

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

// The local cloud, the app home and the session, for the whole run.
struct Cloud {
  Cloud() : signedCloud("lumora-signed-bench") {
    platform::AppHome::setRoot(signedCloud.dir() / "home");
    const lumora::LMSignedSession session{benchcloud::kUserIdText, signedCloud.serviceToken(), kKey};
    sessions = std::make_shared<FixedSessionSource>(session);
    pingUrl = signedCloud.baseURL() + "/_admin/ping";
    const platform::http::Request request = lumora::LMHTTPRequestSerialization().requestWithMethod(
        "POST", signedCloud.url(), kParameters, session);
    replayUrl = request.url;
    replayBody = platform::toString(request.body);
    for (const auto& [name, value] : request.headers.combined()) replayHeaders.push_back(name + ": " + value);
    replayHeaders.emplace_back("Expect:");  // as the client's transfers send it
  }
  benchcloud::SignedCloud signedCloud;
  std::shared_ptr<lumora::LMSessionSource> sessions;
  std::string pingUrl;
  // The client's signed request, to replay as it goes out.
  std::string replayUrl;
  std::string replayBody;
  std::vector<std::string> replayHeaders;

  RawHandle replayHandle() const { return RawHandle(replayUrl, &replayBody, replayHeaders); }
};

Cloud& cloud() {
  static Cloud instance;
  return instance;
}

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

void BM_SignedRequest(benchmark::State& state) {
  Cloud& target = cloud();
  lumora::LMHTTPRequestOperationManager manager(target.sessions);
  measure(state, "signed", [&] {
    auto operation = manager.POST(target.signedCloud.url(), kParameters, kSid);
    operation->start();
    auto reply = operation->result();
    return reply.ok() && reply->is_object();
  });
}

void BM_SignedRequest_Reference(benchmark::State& state) {
  RawHandle handle = cloud().replayHandle();
  measure(state, "replay", [&] { return handle.perform(); });
}

void BM_KeepAliveGet(benchmark::State& state) {
  RawHandle handle(cloud().pingUrl, nullptr, nullptr);
  measure(state, "get", [&] { return handle.perform(); });
}

// The signed round trip and the replay taken in turns on one thread, which
// of them goes first changing every iteration, so that a change of load on
// the machine weighs on both alike: "signed_us" and "replay_us" are their
// mean round trips, "speed_ratio" the replay's time over ours (1.0: the
// client adds nothing), which the closing table prints as well.
void BM_SignedRequestInTurns(benchmark::State& state) {
  Cloud& target = cloud();
  lumora::LMHTTPRequestOperationManager manager(target.sessions);
  RawHandle replay = target.replayHandle();
  using Clock = std::chrono::steady_clock;
  Clock::duration ours{}, theirs{};
  auto signedRoundTrip = [&] {
    auto before = Clock::now();
    auto operation = manager.POST(target.signedCloud.url(), kParameters, kSid);
    operation->start();
    auto reply = operation->result();
    ours += Clock::now() - before;
    return reply.ok() && reply->is_object();
  };
  auto replayRoundTrip = [&] {
    auto before = Clock::now();
    const bool replayed = replay.perform();
    theirs += Clock::now() - before;
    return replayed;
  };
  bool signedFirst = true;
  for (auto _ : state) {
    const bool ok =
        signedFirst ? signedRoundTrip() && replayRoundTrip() : replayRoundTrip() && signedRoundTrip();
    signedFirst = !signedFirst;
    if (!ok) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  const double oursUs = std::chrono::duration<double, std::micro>(ours).count() / n;
  const double theirsUs = std::chrono::duration<double, std::micro>(theirs).count() / n;
  state.counters["signed_us"] = oursUs;
  state.counters["replay_us"] = theirsUs;
  if (oursUs > 0) state.counters["speed_ratio"] = theirsUs / oursUs;
}

BENCHMARK(BM_SignedRequest)->Threads(1)->Threads(kMaxThreads)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SignedRequest_Reference)->Threads(1)->Threads(kMaxThreads)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SignedRequestInTurns)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_KeepAliveGet)->Threads(1)->Threads(kMaxThreads)->UseRealTime()->MinTime(1.0);

}  // namespace
