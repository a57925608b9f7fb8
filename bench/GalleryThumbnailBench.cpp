// The local cloud's thumbnail of a 10 MB photo (a 24-megapixel camera JPEG),
// and of one of 99 megapixels (just under the bound on what the cloud
// reads), for the album grid (240 x 240 at most), as the thumbnail route makes it
// (GalleryThumbnails::thumbnailOf: the format and size checks, then the
// scaled-down decode and the JPEG), next to libvips's own thumbnail call on
// the same bytes (vips_thumbnail_buffer and the JPEG), in the same run. The
// counter "whole_decode_ms" is what decoding the same photo at its full
// size costs once, for comparison. Both run on libvips's threads: they are
// compared on real time.
#include <benchmark/benchmark.h>

#include <vips/vips8>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "server/services/GalleryThumbnails.h"

namespace {

constexpr int kSide = 240;

// A camera-like photo of the benchmark's width x height: fine grain over
// soft shapes, 4:2:0, at the quality that makes 6000 x 4000 about 10 MB.
const std::string& photo(const benchmark::State& state) {
  static std::map<std::pair<int, int>, std::string> made;
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  std::string& bytes = made[{width, height}];
  if (bytes.empty()) {
    if (vips_init("thumbnail-bench") != 0) std::abort();
    auto grain = [&](double mean) {
      return vips::VImage::gaussnoise(width, height, vips::VImage::option()->set("sigma", 10.0)->set("mean", mean));
    };
    vips::VImage shapes = vips::VImage::perlin(width, height, vips::VImage::option()->set("cell_size", 256)) * 60;
    vips::VImage image = (grain(120).bandjoin({grain(128), grain(100)}) + shapes).cast(VIPS_FORMAT_UCHAR);
    void* buffer = nullptr;
    std::size_t length = 0;
    image.write_to_buffer(".jpg", &buffer, &length,
                          vips::VImage::option()->set("Q", 95)->set("subsample_mode", VIPS_FOREIGN_SUBSAMPLE_ON));
    bytes.assign(static_cast<const char*>(buffer), length);
    g_free(buffer);
  }
  return bytes;
}

void BM_GalleryThumbnail(benchmark::State& state) {
  const std::string& bytes = photo(state);
  std::size_t size = 0;
  for (auto _ : state) {
    std::string jpeg = localcloud::GalleryThumbnails::thumbnailOf(bytes, kSide, kSide);
    if (jpeg.empty()) {
      state.SkipWithError("no thumbnail");
      break;
    }
    size = jpeg.size();
  }
  // Once, untimed: the photo decoded whole, as a thumbnail made from the
  // full-size image would begin.
  const auto start = std::chrono::steady_clock::now();
  vips::VImage whole = vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "",
                                                     vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
  (void)whole.avg();
  state.counters["whole_decode_ms"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  state.counters["photo_mb"] = static_cast<double>(bytes.size()) / 1e6;
  state.counters["thumbnail_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_GalleryThumbnail)->Args({6000, 4000})->Args({12000, 8250})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GalleryThumbnail_Reference(benchmark::State& state) {
  const std::string& bytes = photo(state);
  for (auto _ : state) {
    VipsBlob* blob = vips_blob_new(nullptr, bytes.data(), bytes.size());
    vips::VImage thumbnail = vips::VImage::thumbnail_buffer(
        blob, kSide, vips::VImage::option()->set("height", kSide)->set("size", VIPS_SIZE_DOWN));
    void* buffer = nullptr;
    std::size_t length = 0;
    thumbnail.write_to_buffer(".jpg", &buffer, &length);
    g_free(buffer);
    vips_area_unref(VIPS_AREA(blob));
  }
}
BENCHMARK(BM_GalleryThumbnail_Reference)
    ->Args({6000, 4000})
    ->Args({12000, 8250})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
