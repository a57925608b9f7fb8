// The thumbnails of the gallery service: addresses handed out by the
// thumbnail request, and the plain route that answers them,
//   GET /gallery/thumbnail/<userId>/<imageId>/<width>x<height>/<sign>
// with the photo scaled down (libvips) to fit width x height, as JPEG. An
// address is a capability: its sign is an HMAC of user, image and size
// under the server's secret, so it needs no cookie and no stored row; it
// answers while the image is a live photo (404 otherwise, 415 for a photo
// that cannot be decoded, is larger than kMaxSourceBytes or, as its header
// tells before any decoding, has more than kMaxSourcePixels or would
// decode more than kMaxDecodedPixels).
//
// Photos are JPEG, PNG, WebP, HEIF, TIFF or GIF (other formats libvips
// reads, such as SVG or PDF, are no photos). A baseline JPEG is decoded at
// the smallest of 1/1, 1/2, 1/4 and 1/8 of its size that still covers the
// thumbnail (libjpeg's scaled decoding, a strip at a time), so even the
// largest one costs the reading of its bytes and little memory; every other
// photo (a progressive JPEG, whose every coefficient is kept until its
// last scan, any PNG, WebP, HEIF, TIFF or GIF) is decoded at its full size.
// What is decoded is held to kMaxDecodedPixels, and so is what the
// process's thumbnails decode at once: one photo of that size decoded
// whole, or several smaller ones (a JPEG reduced as it loads takes its
// reduced size), each waiting its turn until its pixels fit; after a
// decoding of kTrimPixels or more, the memory it freed goes back to the
// system (freed on the thread that decoded it, it would otherwise stay
// with that thread's heap). A photo is read whole to be decoded, so at most
// kMaxRenders are made at once (the others wait).
//
// Ownership: owned by the GalleryService; borrows the Store, the
// GalleryStore, the KssNode and the BlobStore. Threading: safe from any
// thread. Failures: replies; nothing throws.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <semaphore>
#include <string>
#include <string_view>

#include "server/storage/BlobStore.h"
#include "server/storage/GalleryStore.h"
#include "server/services/KssNode.h"
#include "server/storage/Store.h"

namespace localcloud {

class GalleryThumbnails {
 public:
  static constexpr const char* kPathPrefix = "/gallery/thumbnail/";
  static constexpr int kMaxSide = 4096;
  static constexpr std::uint64_t kMaxSourceBytes = 64 * 1024 * 1024;
  static constexpr std::uint64_t kMaxSourcePixels = 100'000'000;
  static constexpr std::uint64_t kMaxDecodedPixels = 16'000'000;
  static constexpr int kMaxRenders = 4;
  static constexpr std::uint64_t kTrimPixels = 4'000'000;

  GalleryThumbnails(Store& store, GalleryStore& gallery, KssNode& kss, BlobStore& blobs,
                    std::function<int()> port)
      : store_(store), gallery_(gallery), kss_(kss), blobs_(blobs), port_(std::move(port)) {}

  // The address of the image's thumbnail of at most width x height.
  std::string address(std::int64_t userId, std::int64_t imageId, int width, int height) const;
  void registerOn(httplib::Server& server);

  // The photo's bytes scaled down to fit width x height, as JPEG; "" when
  // they are no photo, cannot be decoded or are beyond the bounds above.
  static std::string thumbnailOf(std::string_view photo, int width, int height);

  // Test seam: `hook` is called as each thumbnail's decoding begins
  // (nullptr ends it); decodingForTesting() tells the pixels the process's
  // thumbnails are decoding now and how many decodings wait for their turn.
  static void setDecodingHookForTesting(std::function<void()> hook);
  struct Decoding {
    std::uint64_t pixels = 0;
    std::size_t waiting = 0;
  };
  static Decoding decodingForTesting();

 private:
  std::string sign(std::int64_t userId, std::int64_t imageId, int width, int height) const;
  void serve(const httplib::Request& req, httplib::Response& res);
  // The stored photo scaled down as JPEG (thumbnailOf); "" when it cannot
  // be read.
  std::string render(const GalleryImage& image, int width, int height);

  Store& store_;
  GalleryStore& gallery_;
  KssNode& kss_;
  BlobStore& blobs_;
  std::function<int()> port_;
  std::counting_semaphore<kMaxRenders> renders_{kMaxRenders};
};

}  // namespace localcloud
