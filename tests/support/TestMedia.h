// Real picture and movie files for tests: JPEGs (with the EXIF values a
// test asks for) and PNGs encoded by libvips, EXIF written by libexiv2, and
// the smallest QuickTime movie that carries a header with size and length;
// and the files of every format kept in tests/media.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "platform/media/Image.h"
#include "platform/dispatch/Clock.h"

namespace testsupport {

struct TestExif {
  std::optional<int> orientation = std::nullopt;      // EXIF 1 to 8
  std::optional<std::string> dateTaken = std::nullopt;  // "yyyy:MM:dd HH:mm:ss"
  std::optional<double> latitude = std::nullopt;      // signed degrees
  std::optional<double> longitude = std::nullopt;
  std::optional<double> altitude = std::nullopt;      // metres
  std::optional<std::string> make = std::nullopt;
  std::optional<std::string> model = std::nullopt;
  std::optional<int> iso = std::nullopt;
};

// A picture whose left half is red and right half blue.
platform::Bytes makeJpeg(int width, int height, const TestExif& exif = {});
platform::Bytes makePng(int width, int height);
// A picture that shows width x height with four coloured quarters: red top
// left, green top right, blue bottom left, white bottom right. As a JPEG
// its pixels are stored turned and mirrored so that its EXIF orientation
// (1 to 8, written by libexiv2) shows it so. As a HEIC (libheif with x265,
// through libvips) it is stored as shown, with no turn of its own, and
// with EXIF orientation `exifOrientation` in its metadata, which a HEIF
// decoder does not apply.
platform::Bytes makeQuadrantJpeg(int width, int height, int orientation);
platform::Bytes makeQuadrantHeic(int width, int height, int exifOrientation);
// The quarters of a picture as shown (upright): their colours read at a
// quarter and three quarters of each side, top left, top right, bottom
// left, bottom right, each R, G, B, W or '?' (none of them). "RGBW" is a
// quadrant picture upright; "GRWB" one mirrored left to right, and so on.
std::string quadrantsOf(const platform::Image& image);
char quadrantColour(int red, int green, int blue);
// A PNG whose header names width x height pixels but which carries only
// its first rows: a pixel bomb's header, without the bytes of one.
platform::Bytes makePixelBombPng(std::uint32_t width, std::uint32_t height);
// A QuickTime movie header: `width` x `height`, `seconds` long, padded with
// `payload` bytes of media data.
platform::Bytes makeMovie(int width, int height, double seconds, std::size_t payload = 64);

// A real file of each format the library takes, kept in tests/media (its
// README tells how each was made), with what a reader must find in it.
struct MediaSample {
  const char* file;       // its name in tests/media
  int width;              // in pixels, as shown (turned upright)
  int height;
  double seconds;         // a movie's length; 0 for a photo
  const char* dateTaken;  // "yyyy-mm-dd hh:mm:ss" UTC from its EXIF or movie header; nullptr when it has none
};
const std::vector<MediaSample>& mediaSamples();
// The sample's dateTaken as a time.
std::optional<platform::Clock::TimePoint> dateTakenOf(const MediaSample& sample);
std::filesystem::path mediaSamplePath(const std::string& file);

void writeFile(const std::filesystem::path& path, const platform::Bytes& data);
platform::Bytes readFile(const std::filesystem::path& path);
// The first word printed by `command` (a digest tool) over `path`.
std::string digestWithTool(const std::string& tool, const std::filesystem::path& path);

}  // namespace testsupport
