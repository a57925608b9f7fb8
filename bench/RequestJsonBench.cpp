// The local cloud's reading of a client's JSON body (a list of many small
// objects, as a device's settings are sent), with its nesting limit, beside
// the plain parse of the same text by the JSON library.
#include <benchmark/benchmark.h>

#include <string>

#include "server/http/HttpUtil.h"

namespace {

std::string listOfObjects(int count) {
  std::string text = "[";
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += ',';
    text += R"({"name": "n)" + std::to_string(i) + R"(", "value": ""})";
  }
  return text + "]";
}

void BM_ParseJson(benchmark::State& state) {
  const std::string text = listOfObjects(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(localcloud::http::parseJson(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ParseJson_Reference(benchmark::State& state) {
  const std::string text = listOfObjects(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(text, nullptr, false));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

}  // namespace

BENCHMARK(BM_ParseJson)->Arg(2300)->Arg(20000);
BENCHMARK(BM_ParseJson_Reference)->Arg(2300)->Arg(20000);
