// Writes the test HEIC the way a phone's camera does: the picture stored
// as the sensor saw it, HEVC-coded by libheif's x265 encoder, a turn of the
// file's own (irot) to show it upright, and EXIF that says the same turn
// and the time it was taken; with THUMBNAIL, also a thumbnail of its own
// whose longer side is THUMBNAIL pixels, turned the same way.
//
//   make-heic OUT WIDTH HEIGHT ORIENTATION "yyyy:MM:dd HH:mm:ss" [THUMBNAIL]
//
// The stored picture's left half is red, its right half blue.
#include <libheif/heif.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

namespace {

bool ok(heif_error error, const char* what) {
  if (error.code == heif_error_Ok) return true;
  std::fprintf(stderr, "%s: %s\n", what, error.message);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: make-heic OUT WIDTH HEIGHT ORIENTATION DATE [THUMBNAIL]\n");
    return 2;
  }
  const int width = std::atoi(argv[2]);
  const int height = std::atoi(argv[3]);
  const int orientation = std::atoi(argv[4]);

  heif_image* image = nullptr;
  if (!ok(heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image), "image") ||
      !ok(heif_image_add_plane(image, heif_channel_interleaved, width, height, 8), "plane")) {
    return 1;
  }
  int stride = 0;
  std::uint8_t* pixels = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* at = pixels + y * stride + x * 3;
      const bool left = x < width / 2;
      at[0] = left ? 0xd0 : 0x20;
      at[1] = left ? 0x20 : 0x40;
      at[2] = left ? 0x20 : 0xd0;
    }
  }

  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  if (!ok(heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder), "encoder")) return 1;
  heif_encoder_set_lossy_quality(encoder, 50);
  heif_encoding_options* options = heif_encoding_options_alloc();
  options->image_orientation = static_cast<heif_orientation>(orientation);
  heif_image_handle* handle = nullptr;
  if (!ok(heif_context_encode_image(context, image, encoder, options, &handle), "encode")) return 1;
  if (argc == 7) {
    heif_image_handle* thumbnail = nullptr;
    if (!ok(heif_context_encode_thumbnail(context, image, handle, encoder, options, std::atoi(argv[6]), &thumbnail),
            "thumbnail")) {
      return 1;
    }
    heif_image_handle_release(thumbnail);
  }

  Exiv2::ExifData exif;
  exif["Exif.Image.Make"] = "Lumora";
  exif["Exif.Image.Orientation"] = static_cast<std::uint16_t>(orientation);
  exif["Exif.Photo.DateTimeOriginal"] = std::string(argv[5]);
  Exiv2::Blob tiff;
  Exiv2::ExifParser::encode(tiff, Exiv2::littleEndian, exif);
  if (!ok(heif_context_add_exif_metadata(context, handle, tiff.data(), static_cast<int>(tiff.size())), "exif") ||
      !ok(heif_context_write_to_file(context, argv[1]), "write")) {
    return 1;
  }
  heif_image_handle_release(handle);
  heif_encoding_options_free(options);
  heif_encoder_release(encoder);
  heif_image_release(image);
  heif_context_free(context);
  return 0;
}
