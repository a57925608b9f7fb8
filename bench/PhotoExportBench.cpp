// Backing up a large video: export out of the photo library plus the
// whole-file SHA-1 and per-4 MiB block SHA-1 / MD5 (LMImage::initWithAsset),
// next to a plain SHA-1 + MD5 over the same bytes in one pass, in the same
// run. The movie is a sparse file of LUMORA_BENCH_VIDEO_BYTES bytes (2 GiB
// by default) behind a real movie header. Each reports its throughput and
// its peak resident memory; the second also the ratio of the two speeds.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cloud/model/LMImage.h"
#include "utils/Digest.h"
#include "utils/DigestContext.h"
#include "platform/storage/AppHome.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/TestMedia.h"

namespace {

namespace fs = std::filesystem;
namespace photos = platform::photos;

std::int64_t videoBytes() {
  const char* text = std::getenv("LUMORA_BENCH_VIDEO_BYTES");
  return text != nullptr ? std::atoll(text) : std::int64_t{2} << 30;
}

// Peak resident memory since the last reset, in MiB.
void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }
double peakMemoryMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// A library in a home of its own holding one sparse movie.
struct Setup {
  fs::path root;
  photos::Asset asset;

  Setup() {
    std::string pattern = (fs::temp_directory_path() / "lumora-bench-XXXXXX").string();
    root = mkdtemp(pattern.data());
    platform::AppHome::setRoot(root);
    (void)photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized);
    const fs::path movie = photos::PhotoLibrary::folder() / "big.mov";
    const platform::Bytes header = testsupport::makeMovie(1920, 1080, 600, 0);
    // The media box runs to the end of the file, whose rest is a hole.
    platform::Bytes head(header.begin(), header.end() - 8);
    const auto mediaSize = static_cast<std::uint32_t>(videoBytes() - static_cast<std::int64_t>(head.size()));
    for (int shift : {24, 16, 8, 0}) head.push_back(static_cast<std::uint8_t>(mediaSize >> shift));
    head.insert(head.end(), {'m', 'd', 'a', 't'});
    testsupport::writeFile(movie, head);
    fs::resize_file(movie, static_cast<std::uintmax_t>(videoBytes()));
    asset = photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Video).at(0);
  }
  ~Setup() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Setup& setup() {
  static Setup instance;
  return instance;
}

double exportSeconds = 0;

void BM_ExportAndDigestVideo(benchmark::State& state) {
  const photos::Asset asset = setup().asset;
  resetPeakMemory();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto image = lumora::LMImage::initWithAsset(&asset);
    exportSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!image || image->error || image->blockInfos.size() != static_cast<std::size_t>((videoBytes() + (4 << 20) - 1) >> 22)) {
      state.SkipWithError("export failed");
    }
    if (image && image->filePath) fs::remove(*image->filePath);
  }
  state.SetBytesProcessed(state.iterations() * videoBytes());
  state.counters["peak_MiB"] = peakMemoryMiB();
}
BENCHMARK(BM_ExportAndDigestVideo)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SHA1AndMD5OfTheSameBytes(benchmark::State& state) {
  const fs::path file = setup().asset.file;
  resetPeakMemory();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    lumora::DigestContext sha1(lumora::DigestKind::SHA1);
    lumora::DigestContext md5(lumora::DigestKind::MD5);
    platform::Bytes buffer(4 << 20);
    const int fd = ::open(file.c_str(), O_RDONLY);
    for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      sha1.update(buffer.data(), static_cast<std::size_t>(got));
      md5.update(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    benchmark::DoNotOptimize(sha1.finish());
    benchmark::DoNotOptimize(md5.finish());
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.SetBytesProcessed(state.iterations() * videoBytes());
  state.counters["peak_MiB"] = peakMemoryMiB();
  // Export speed as a share of this plain pass (the goal is 0.8 or more).
  if (exportSeconds > 0) state.counters["export_speed_ratio"] = seconds / exportSeconds;
}
BENCHMARK(BM_SHA1AndMD5OfTheSameBytes)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
