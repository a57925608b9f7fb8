#include "support/TestMedia.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <vips/vips8>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include "platform/media/Image.h"

namespace testsupport {
namespace {

platform::Bytes encodePicture(const vips::VImage& picture, const char* suffix) {
  void* buffer = nullptr;
  std::size_t length = 0;
  picture.write_to_buffer(suffix, &buffer, &length);
  platform::Bytes out(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + length);
  g_free(buffer);
  return out;
}

vips::VImage filled(int width, int height, std::vector<double> rgb) {
  using vips::VImage;
  return VImage::black(width, height, VImage::option()->set("bands", 3)).linear({1, 1, 1}, rgb);
}

platform::Bytes encode(int width, int height, const char* suffix) {
  // Any platform::Image call starts libvips; decoding a tiny PNG is one.
  (void)platform::Image::imageWithData(platform::Bytes{0});
  vips::VImage red = filled(width / 2, height, {255, 0, 0});
  vips::VImage blue = filled(width - width / 2, height, {0, 0, 255});
  return encodePicture(red.join(blue, VIPS_DIRECTION_HORIZONTAL).cast(VIPS_FORMAT_UCHAR), suffix);
}

// The four-colour picture as shown, width x height.
vips::VImage quadrants(int width, int height) {
  (void)platform::Image::imageWithData(platform::Bytes{0});
  const int left = width / 2;
  const int top = height / 2;
  vips::VImage upper = filled(left, top, {255, 0, 0}).join(filled(width - left, top, {0, 255, 0}),
                                                            VIPS_DIRECTION_HORIZONTAL);
  vips::VImage lower = filled(left, height - top, {0, 0, 255})
                           .join(filled(width - left, height - top, {255, 255, 255}), VIPS_DIRECTION_HORIZONTAL);
  return upper.join(lower, VIPS_DIRECTION_VERTICAL).cast(VIPS_FORMAT_UCHAR);
}

// The pixels to store so that a viewer that turns (and mirrors) a picture
// as EXIF orientation `orientation` says shows `shown`: each orientation's
// own change undone, as the EXIF standard defines them (2 mirrors left and
// right, 3 turns half round, 4 mirrors top and bottom, 5 mirrors across the
// main diagonal, 6 turns a quarter clockwise, 7 mirrors across the other
// diagonal, 8 turns a quarter counter-clockwise).
vips::VImage storedFor(const vips::VImage& shown, int orientation) {
  switch (orientation) {
    case 2: return shown.flip(VIPS_DIRECTION_HORIZONTAL);
    case 3: return shown.rot(VIPS_ANGLE_D180);
    case 4: return shown.flip(VIPS_DIRECTION_VERTICAL);
    case 5: return shown.rot(VIPS_ANGLE_D90).flip(VIPS_DIRECTION_HORIZONTAL);
    case 6: return shown.rot(VIPS_ANGLE_D270);
    case 7: return shown.rot(VIPS_ANGLE_D90).flip(VIPS_DIRECTION_VERTICAL);
    case 8: return shown.rot(VIPS_ANGLE_D90);
    default: return shown;
  }
}

std::string rational(double value, int denominator) {
  return std::to_string(static_cast<long>(std::llround(value * denominator))) + "/" + std::to_string(denominator);
}

std::string degrees(double value) {
  const double a = std::fabs(value);
  const double d = std::floor(a);
  const double m = std::floor((a - d) * 60);
  const double s = ((a - d) * 60 - m) * 60;
  return rational(d, 1) + " " + rational(m, 1) + " " + rational(s, 1000);
}

void put(platform::Bytes& data, std::uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

platform::Bytes box(const char* type, const platform::Bytes& payload) {
  platform::Bytes out;
  put(out, static_cast<std::uint32_t>(payload.size() + 8), 4);
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

void putMatrix(platform::Bytes& data) {
  const std::uint32_t matrix[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
  for (auto v : matrix) put(data, v, 4);
}

platform::Bytes withExif(const platform::Bytes& jpeg, const TestExif& exif) {
  auto image = Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size()));
  image->readMetadata();
  Exiv2::ExifData& data = image->exifData();
  if (exif.orientation) data["Exif.Image.Orientation"] = static_cast<std::uint16_t>(*exif.orientation);
  if (exif.make) data["Exif.Image.Make"] = *exif.make;
  if (exif.model) data["Exif.Image.Model"] = *exif.model;
  if (exif.dateTaken) {
    data["Exif.Photo.DateTimeOriginal"] = *exif.dateTaken;
    data["Exif.Image.DateTime"] = *exif.dateTaken;
  }
  if (exif.iso) data["Exif.Photo.ISOSpeedRatings"] = static_cast<std::uint16_t>(*exif.iso);
  if (exif.latitude && exif.longitude) {
    data["Exif.GPSInfo.GPSLatitudeRef"] = *exif.latitude < 0 ? "S" : "N";
    data["Exif.GPSInfo.GPSLatitude"] = degrees(*exif.latitude);
    data["Exif.GPSInfo.GPSLongitudeRef"] = *exif.longitude < 0 ? "W" : "E";
    data["Exif.GPSInfo.GPSLongitude"] = degrees(*exif.longitude);
  }
  if (exif.altitude) {
    data["Exif.GPSInfo.GPSAltitudeRef"] = static_cast<std::uint8_t>(*exif.altitude < 0 ? 1 : 0);
    data["Exif.GPSInfo.GPSAltitude"] = Exiv2::URational(static_cast<int>(std::lround(std::fabs(*exif.altitude) * 10)), 10);
  }
  image->writeMetadata();
  Exiv2::BasicIo& io = image->io();
  io.seek(0, Exiv2::BasicIo::beg);
  Exiv2::DataBuf written = io.read(static_cast<long>(io.size()));
  return platform::Bytes(written.pData_, written.pData_ + written.size_);
}

}  // namespace

platform::Bytes makeJpeg(int width, int height, const TestExif& exif) {
  return withExif(encode(width, height, ".jpg[Q=90]"), exif);
}

platform::Bytes makeQuadrantJpeg(int width, int height, int orientation) {
  TestExif exif;
  exif.orientation = orientation;
  return withExif(encodePicture(storedFor(quadrants(width, height), orientation), ".jpg[Q=90]"), exif);
}

platform::Bytes makeQuadrantHeic(int width, int height, int exifOrientation) {
  vips::VImage picture = quadrants(width, height).copy();
  picture.set(VIPS_META_ORIENTATION, exifOrientation);
  return encodePicture(picture, ".heic[compression=hevc,Q=90]");
}

std::string quadrantsOf(const platform::Image& image) {
  auto pixels = image.RGBARepresentation();
  if (!pixels.ok() || image.width() < 2 || image.height() < 2) return "????";
  std::string corners;
  for (const auto& [fx, fy] : {std::pair{1, 1}, std::pair{3, 1}, std::pair{1, 3}, std::pair{3, 3}}) {
    const int x = image.width() * fx / 4;
    const int y = image.height() * fy / 4;
    const std::uint8_t* at = pixels->data() + (static_cast<std::size_t>(y) * image.width() + x) * 4;
    corners += quadrantColour(at[0], at[1], at[2]);
  }
  return corners;
}

char quadrantColour(int red, int green, int blue) {
  struct Named {
    char name;
    int r, g, b;
  };
  // Lossy encoders (HEVC most) leave the colours some way off: the
  // nearest, when no channel is off by more than 100.
  constexpr Named kColours[] = {{'R', 255, 0, 0}, {'G', 0, 255, 0}, {'B', 0, 0, 255}, {'W', 255, 255, 255}};
  for (const Named& c : kColours) {
    if (std::abs(red - c.r) <= 100 && std::abs(green - c.g) <= 100 && std::abs(blue - c.b) <= 100) return c.name;
  }
  return '?';
}

platform::Bytes makePng(int width, int height) { return encode(width, height, ".png"); }

platform::Bytes makePixelBombPng(std::uint32_t width, std::uint32_t height) {
  auto crc = [](const platform::Bytes& data, std::size_t from) {
    std::uint32_t c = 0xffffffffu;
    for (std::size_t i = from; i < data.size(); ++i) {
      c ^= data[i];
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return c ^ 0xffffffffu;
  };
  platform::Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  auto chunk = [&](const char* type, const platform::Bytes& body) {
    put(png, static_cast<std::uint32_t>(body.size()), 4);
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), body.begin(), body.end());
    put(png, crc(png, start), 4);
  };
  platform::Bytes header;
  put(header, width, 4);
  put(header, height, 4);
  header.insert(header.end(), {1, 0, 0, 0, 0});  // 1-bit grey, no interlace
  chunk("IHDR", header);
  // A zlib stream of one stored block: the first rows (a filter byte each,
  // then the row's bits), and no more.
  const std::size_t rows = 4;
  const std::size_t row = 1 + (width + 7) / 8;
  const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(rows * row, 0xffff));
  platform::Bytes data = {0x78, 0x01, 0x00, static_cast<std::uint8_t>(length & 0xff),
                          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(~length & 0xff),
                          static_cast<std::uint8_t>((~length >> 8) & 0xff)};
  data.resize(data.size() + length, 0);
  chunk("IDAT", data);
  chunk("IEND", {});
  return png;
}

platform::Bytes makeMovie(int width, int height, double seconds, std::size_t payload) {
  constexpr std::uint32_t kTimeScale = 600;
  const auto duration = static_cast<std::uint32_t>(std::lround(seconds * kTimeScale));
  platform::Bytes mvhd;
  put(mvhd, 0, 4);  // version, flags
  put(mvhd, 0, 4);  // created
  put(mvhd, 0, 4);  // modified
  put(mvhd, kTimeScale, 4);
  put(mvhd, duration, 4);
  put(mvhd, 0x00010000, 4);  // rate
  put(mvhd, 0x0100, 2);      // volume
  mvhd.insert(mvhd.end(), 10, 0);
  putMatrix(mvhd);
  mvhd.insert(mvhd.end(), 24, 0);
  put(mvhd, 2, 4);  // next track
  platform::Bytes tkhd;
  put(tkhd, 3, 4);  // version 0, enabled and in movie
  put(tkhd, 0, 4);
  put(tkhd, 0, 4);
  put(tkhd, 1, 4);  // track id
  put(tkhd, 0, 4);
  put(tkhd, duration, 4);
  tkhd.insert(tkhd.end(), 16, 0);
  putMatrix(tkhd);
  put(tkhd, static_cast<std::uint32_t>(width) << 16, 4);
  put(tkhd, static_cast<std::uint32_t>(height) << 16, 4);
  platform::Bytes ftypPayload = {'q', 't', ' ', ' ', 0, 0, 0, 0, 'q', 't', ' ', ' '};
  platform::Bytes movie = box("ftyp", ftypPayload);
  platform::Bytes moov = box("moov", [&] {
    platform::Bytes inner = box("mvhd", mvhd);
    // A media handler of type "vide" marks the track as the video track
    // (readers take the track's size only from a track they know as video).
    platform::Bytes hdlr;
    put(hdlr, 0, 4);  // version, flags
    hdlr.insert(hdlr.end(), {'m', 'h', 'l', 'r', 'v', 'i', 'd', 'e'});
    hdlr.insert(hdlr.end(), 12, 0);  // manufacturer, flags, flags mask
    hdlr.push_back(0);               // empty name
    platform::Bytes trak = box("tkhd", tkhd);
    platform::Bytes mdia = box("mdia", box("hdlr", hdlr));
    trak.insert(trak.end(), mdia.begin(), mdia.end());
    trak = box("trak", trak);
    inner.insert(inner.end(), trak.begin(), trak.end());
    return inner;
  }());
  movie.insert(movie.end(), moov.begin(), moov.end());
  platform::Bytes media(payload);
  for (std::size_t i = 0; i < payload; ++i) media[i] = static_cast<std::uint8_t>(i * 7 + 3);
  platform::Bytes mdat = box("mdat", media);
  movie.insert(movie.end(), mdat.begin(), mdat.end());
  return movie;
}

const std::vector<MediaSample>& mediaSamples() {
  static const auto& samples = *new std::vector<MediaSample>{
      {"photo.jpg", 48, 64, 0, "2021-05-06 07:08:09"},   // stored 64 x 48, EXIF orientation 8
      {"photo.png", 40, 30, 0, nullptr},
      {"photo.heic", 48, 80, 0, "2023-07-14 09:30:15"},  // stored 80 x 48, turned by the file and its EXIF
      {"photo.heif", 72, 40, 0, "2020-01-02 03:04:05"},
      {"photo.gif", 36, 20, 0, nullptr},
      {"photo.tiff", 30, 40, 0, nullptr},
      {"photo.bmp", 24, 16, 0, nullptr},
      {"photo.webp", 50, 26, 0, nullptr},
      {"movie.mov", 64, 48, 1.5, "2022-03-04 05:06:07"},
      {"movie.mp4", 48, 64, 2, "2022-03-04 05:06:07"},
      {"movie.m4v", 80, 48, 1, "2022-03-04 05:06:07"},
      {"movie.3gp", 176, 144, 2.5, "2022-03-04 05:06:07"},
  };
  return samples;
}

std::optional<platform::Clock::TimePoint> dateTakenOf(const MediaSample& sample) {
  if (sample.dateTaken == nullptr) return std::nullopt;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(sample.dateTaken, "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second) != 6) {
    throw std::invalid_argument(sample.dateTaken);
  }
  using namespace std::chrono;
  const sys_days date = std::chrono::year(year) / std::chrono::month(static_cast<unsigned>(month)) /
                        std::chrono::day(static_cast<unsigned>(day));
  return time_point_cast<platform::Clock::Duration>(date + hours(hour) + minutes(minute) + seconds(second));
}

std::filesystem::path mediaSamplePath(const std::string& file) {
  return std::filesystem::path(LUMORA_TEST_MEDIA_DIR) / file;
}

void writeFile(const std::filesystem::path& path, const platform::Bytes& data) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

platform::Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return platform::Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string digestWithTool(const std::string& tool, const std::filesystem::path& path) {
  const std::string command = tool + " '" + path.string() + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  char line[256] = {};
  std::string word;
  if (std::fgets(line, sizeof line, pipe) != nullptr) word = std::string(line).substr(0, std::string(line).find(' '));
  ::pclose(pipe);
  return word;
}

}  // namespace testsupport

#pragma GCC diagnostic pop
