// Cost of one app log line through the file logger (registry, formatting
// on the logging thread, hand-over ring, writer thread, 1 MiB rolling
// files), on one thread and on eight at once, beside two references in the
// same run: spdlog's own rotating file logger with the same line pattern,
// and a bare fmt + fwrite of the same line under the stdio lock.
//
// The files go to a temporary app home, removed at exit. Times are real
// time per line and thread.
#include <benchmark/benchmark.h>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <string>

#include "applog/LoggerRegistry.h"
#include "applog/QBFileLoggerFomatterDefault.h"
#include "feedback/QBLogUtil.h"
#include "platform/storage/AppHome.h"

namespace {

constexpr std::uint64_t kFileSize = 1024 * 1024;

struct BenchHome {
  std::filesystem::path root;
  BenchHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumora-bench-XXXXXX").string();
    root = mkdtemp(pattern.data());
    platform::AppHome::setRoot(root);
  }
  ~BenchHome() {
    lumora::QBLogUtil::stopLog();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

BenchHome& home() {
  static BenchHome instance;
  return instance;
}

void BM_FileLoggerLine(benchmark::State& state) {
  home();
  if (state.thread_index() == 0) lumora::QBLogUtil::startLog();
  std::uint64_t i = 0;
  for (auto _ : state) {
    ++i;
    QB_LOG_INFO("upload of album {} finished: {} photos, {} bytes", "Camera Roll", i, i * 4096);
  }
  if (state.thread_index() == 0) lumora::LoggerRegistry::flushLog();
}
BENCHMARK(BM_FileLoggerLine)->Threads(1)->Threads(8)->UseRealTime();

void BM_SpdlogRotatingFileLine(benchmark::State& state) {
  static std::shared_ptr<spdlog::logger> logger = [] {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        (home().root / "spdlog.log").string(), kFileSize, 3);
    auto made = std::make_shared<spdlog::logger>("bench", sink);
    made->set_pattern("%Y/%m/%d %H:%M:%S:%e [%L] %! (%s%#):  %v");
    return made;
  }();
  std::uint64_t i = 0;
  for (auto _ : state) {
    ++i;
    logger->log(spdlog::source_loc{__FILE__, __LINE__, __func__}, spdlog::level::info,
                "upload of album {} finished: {} photos, {} bytes", "Camera Roll", i, i * 4096);
  }
  if (state.thread_index() == 0) logger->flush();
}
BENCHMARK(BM_SpdlogRotatingFileLine)->Threads(1)->Threads(8)->UseRealTime();

// The same line formatted on the calling thread and written with fwrite
// (stdio's lock), the file started over every 1 MiB.
void BM_RawFwriteLine(benchmark::State& state) {
  static std::FILE* file = std::fopen((home().root / "raw.log").c_str(), "w");
  static std::mutex rewindMutex;
  static std::atomic<std::uint64_t> written{0};
  spdlog::memory_buf_t line;
  std::uint64_t i = 0;
  for (auto _ : state) {
    ++i;
    line.clear();
    lumora::QBFileLoggerFomatterDefault::appendTimestamp(platform::Clock::TimePoint(std::chrono::system_clock::now()), line);
    fmt::format_to(fmt::appender(line), " [I] {} ({}{}):  upload of album {} finished: {} photos, {} bytes\n",
                   __func__, "FileLoggerBench", __LINE__, "Camera Roll", i, i * 4096);
    std::fwrite(line.data(), 1, line.size(), file);
    if ((written += line.size()) % kFileSize < line.size()) {
      std::lock_guard<std::mutex> guard(rewindMutex);
      std::rewind(file);
    }
  }
}
BENCHMARK(BM_RawFwriteLine)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace
