#include "server/services/GalleryThumbnails.h"

#include <vips/vips8>

#include <memory>
#include <optional>

#include "server/services/Crypto.h"
#include "server/http/HttpUtil.h"

namespace localcloud {

namespace {

bool startVips() {
  static const bool started = vips_init("lumora-cloud") == 0;
  return started;
}

// The digits of a decimal text that fits an int, else nullopt.
std::optional<int> side(const std::string& text) {
  auto value = http::decimal(text);
  if (!value || *value < 1 || *value > GalleryThumbnails::kMaxSide) return std::nullopt;
  return static_cast<int>(*value);
}

}  // namespace

std::string GalleryThumbnails::sign(std::int64_t userId, std::int64_t imageId, int width,
                                    int height) const {
  std::string mac = crypto::hmacSha1Base64(
      store_.serverSecret(), "gallery-thumbnail/" + std::to_string(userId) + "/" +
                                 std::to_string(imageId) + "/" + std::to_string(width) + "x" +
                                 std::to_string(height));
  return crypto::hexEncode(crypto::base64Decode(mac).value_or(""));
}

std::string GalleryThumbnails::address(std::int64_t userId, std::int64_t imageId, int width,
                                       int height) const {
  return "http://127.0.0.1:" + std::to_string(port_()) + kPathPrefix + std::to_string(userId) +
         "/" + std::to_string(imageId) + "/" + std::to_string(width) + "x" +
         std::to_string(height) + "/" + sign(userId, imageId, width, height);
}

void GalleryThumbnails::registerOn(httplib::Server& server) {
  std::string pattern = kPathPrefix;
  pattern += "([0-9]{1,18})/([0-9]{1,18})/([0-9]{1,4})x([0-9]{1,4})/([0-9a-f]{40})";
  server.Get(pattern, [this](const httplib::Request& req, httplib::Response& res) { serve(req, res); });
}

void GalleryThumbnails::serve(const httplib::Request& req, httplib::Response& res) {
  auto userId = http::decimal(req.matches[1].str());
  auto imageId = http::decimal(req.matches[2].str());
  auto width = side(req.matches[3].str());
  auto height = side(req.matches[4].str());
  if (!userId || !imageId || !width || !height ||
      !crypto::constantTimeEquals(req.matches[5].str(), sign(*userId, *imageId, *width, *height))) {
    return http::replyText(res, 404, "no such thumbnail");
  }
  auto image = gallery_.image(*userId, *imageId);
  if (!image || image->status != GalleryStore::kImageLive || image->type != "photo") {
    return http::replyText(res, 404, "no such thumbnail");
  }
  if (static_cast<std::uint64_t>(image->size) > kMaxSourceBytes) {
    return http::replyText(res, 415, "the photo is too large for a thumbnail");
  }
  renders_.acquire();
  std::string jpeg = render(*image, *width, *height);
  renders_.release();
  if (jpeg.empty()) return http::replyText(res, 415, "the photo cannot be decoded");
  res.set_content(jpeg, "image/jpeg");
}

std::string GalleryThumbnails::render(const GalleryImage& image, int width, int height) {
  auto blocks = kss_.blocksOf(image.userId, image.fileId);
  if (!blocks || !startVips()) return {};
  std::size_t total = 0;
  for (const KssNode::BlockDigest& block : *blocks) total += static_cast<std::size_t>(block.size);
  // Each block is read straight into its place in the photo.
  std::string photo(total, '\0');
  std::size_t at = 0;
  for (const KssNode::BlockDigest& block : *blocks) {
    const auto size = static_cast<std::size_t>(block.size);
    BlobStore::Reader reader = blobs_.open(block.sha1);
    auto got = reader.ok() ? reader.readInto(photo.data() + at, size) : std::nullopt;
    if (!got || *got != size) return {};
    at += size;
  }
  // The photo's bytes stay ours: the blob borrows them while the thumbnail
  // is made.
  std::unique_ptr<VipsBlob, void (*)(VipsBlob*)> blob(
      vips_blob_new(nullptr, photo.data(), photo.size()),
      [](VipsBlob* made) { vips_area_unref(VIPS_AREA(made)); });
  try {
    // The header tells the size: a photo of more pixels than the bound is
    // refused before anything of it is decoded.
    vips::VImage header = vips::VImage::new_from_buffer(photo.data(), photo.size(), "");
    if (static_cast<std::uint64_t>(header.width()) * static_cast<std::uint64_t>(header.height()) >
        kMaxSourcePixels) {
      return {};
    }
    vips::VImage thumbnail = vips::VImage::thumbnail_buffer(
        blob.get(), width, vips::VImage::option()->set("height", height)->set("size", VIPS_SIZE_DOWN));
    void* buffer = nullptr;
    std::size_t length = 0;
    thumbnail.write_to_buffer(".jpg", &buffer, &length);
    std::string jpeg(static_cast<const char*>(buffer), length);
    g_free(buffer);
    return jpeg;
  } catch (const vips::VError&) {
    return {};
  }
}

}  // namespace localcloud
