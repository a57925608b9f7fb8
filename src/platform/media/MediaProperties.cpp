#include "platform/media/MediaProperties.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "platform/media/Image.h"

// libexiv2 0.27 hands its images out as std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

namespace platform {
namespace {

using ExivImage = Exiv2::Image::AutoPtr;

// The reads under way, and whether the process has begun to exit. Never
// destroyed: reads on worker threads may still look while exit handlers run.
struct ReadGate {
  std::mutex mutex;
  std::condition_variable left;
  int reading = 0;
  bool closed = false;
};

ReadGate& readGate() {
  static auto& gate = *new ReadGate();
  return gate;
}

// At exit, before libexiv2 frees its tables: no read starts any more, and
// those under way end first. A read takes milliseconds; one stuck on a
// file that never answers does not keep the process from ending (a bound in
// real time: a test's manual clock may stand still while the process
// exits).
void closeReadsForExit() {
  ReadGate& gate = readGate();
  std::unique_lock<std::mutex> lock(gate.mutex);
  gate.closed = true;
  gate.left.wait_for(lock, std::chrono::seconds(5), [&] { return gate.reading == 0; });
}

// Exit handlers run in the reverse order of their registration. libexiv2,
// a library the program loads, registered the destructors of its tables
// before the program's own initialisers run, this one among them: the
// reads close before those tables go. (Registered on first use instead, it
// would come too late for a first read that meets the exit.)
[[maybe_unused]] const bool kReadsCloseAtExit = [] { return std::atexit(closeReadsForExit) == 0; }();

void initialiseExiv2() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::XmpParser::initialize();
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    // Off, whatever the library's default: on, its reader of ISO base media
    // takes MP4, M4V and 3GP movies for pictures. HEIF is read by libheif.
    Exiv2::enableBMFF(false);
  });
}

// One read through libexiv2 while the process is not exiting.
class ReadPass {
 public:
  ReadPass() {
    ReadGate& gate = readGate();
    std::lock_guard<std::mutex> lock(gate.mutex);
    open_ = !gate.closed;
    if (open_) ++gate.reading;
  }
  ~ReadPass() {
    if (!open_) return;
    ReadGate& gate = readGate();
    std::lock_guard<std::mutex> lock(gate.mutex);
    if (--gate.reading == 0) gate.left.notify_all();
  }
  ReadPass(const ReadPass&) = delete;
  ReadPass& operator=(const ReadPass&) = delete;
  bool open() const { return open_; }

 private:
  bool open_ = false;
};

Error unreadable(const std::string& message) {
  return Error(kMediaErrorDomain, kMediaErrorUnreadable,
               Json{{Error::kLocalizedDescriptionKey, message}});
}

const Exiv2::Exifdatum* find(const Exiv2::ExifData& exif, const char* key) {
  auto it = exif.findKey(Exiv2::ExifKey(key));
  if (it == exif.end() || it->count() == 0) return nullptr;
  return &*it;
}

// An EXIF text. Some cameras and tools write these in Latin-1 rather than
// ASCII: such a text is kept with its other bytes read as Latin-1, so that
// the values hold UTF-8 only and go into JSON as they are.
void putText(Json& dict, const char* name, const Exiv2::ExifData& exif, const char* key) {
  if (const auto* datum = find(exif, key)) {
    std::string text = datum->toString();
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    if (!text.empty()) dict[name] = toValidUtf8(text);
  }
}

void putInteger(Json& dict, const char* name, const Exiv2::ExifData& exif, const char* key) {
  if (const auto* datum = find(exif, key)) dict[name] = static_cast<std::int64_t>(datum->toLong(0));
}

void putReal(Json& dict, const char* name, const Exiv2::ExifData& exif, const char* key) {
  if (const auto* datum = find(exif, key)) {
    const double value = datum->toFloat(0);
    if (std::isfinite(value)) dict[name] = value;
  }
}

// Degrees, minutes and seconds as three rationals -> decimal degrees.
void putDegrees(Json& dict, const char* name, const Exiv2::ExifData& exif, const char* key) {
  const auto* datum = find(exif, key);
  if (datum == nullptr || datum->count() < 3) return;
  const double value = datum->toFloat(0) + datum->toFloat(1) / 60.0 + datum->toFloat(2) / 3600.0;
  if (std::isfinite(value)) dict[name] = value;
}

void putTimeStamp(Json& dict, const Exiv2::ExifData& exif) {
  const auto* datum = find(exif, "Exif.GPSInfo.GPSTimeStamp");
  if (datum == nullptr || datum->count() < 3) return;
  const double h = datum->toFloat(0), m = datum->toFloat(1), s = datum->toFloat(2);
  if (!std::isfinite(h) || !std::isfinite(m) || !std::isfinite(s)) return;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%05.2f", static_cast<int>(h), static_cast<int>(m), s);
  dict["TimeStamp"] = text;
}

// An EXIF "undefined" text: an 8-byte character-set header, then the text.
void putEncodedText(Json& dict, const char* name, const Exiv2::ExifData& exif, const char* key) {
  const auto* datum = find(exif, key);
  if (datum == nullptr) return;
  Exiv2::DataBuf buffer(static_cast<long>(datum->size()));
  datum->copy(buffer.pData_, Exiv2::littleEndian);
  std::string text(reinterpret_cast<const char*>(buffer.pData_), static_cast<std::size_t>(buffer.size_));
  if (text.size() >= 8 && (text.compare(0, 5, "ASCII") == 0 || text.compare(0, 8, std::string(8, '\0')) == 0)) {
    text.erase(0, 8);
  }
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (!text.empty() && isValidUtf8(text)) dict[name] = text;
}

// Whether the picture is stored as its EXIF orientation says it is turned
// (else it comes upright from its decoder, and no orientation is told).
enum class Stored { AsExifSays, Upright };

Json propertiesFrom(std::int64_t width, std::int64_t height, const Exiv2::ExifData& exif, Stored stored) {
  Json properties = Json::object();
  properties[kImagePropertyPixelWidth] = width;
  properties[kImagePropertyPixelHeight] = height;

  Json tiff = Json::object();
  putText(tiff, "Make", exif, "Exif.Image.Make");
  putText(tiff, "Model", exif, "Exif.Image.Model");
  putText(tiff, "DateTime", exif, "Exif.Image.DateTime");
  if (stored == Stored::AsExifSays) {
    putInteger(tiff, "Orientation", exif, "Exif.Image.Orientation");
    if (tiff.contains("Orientation")) properties[kImagePropertyOrientation] = tiff["Orientation"];
  }

  Json exifDict = Json::object();
  putText(exifDict, "DateTimeOriginal", exif, "Exif.Photo.DateTimeOriginal");
  putInteger(exifDict, "WhiteBalance", exif, "Exif.Photo.WhiteBalance");
  putReal(exifDict, "FocalLength", exif, "Exif.Photo.FocalLength");
  putInteger(exifDict, "Flash", exif, "Exif.Photo.Flash");
  putReal(exifDict, "ExposureTime", exif, "Exif.Photo.ExposureTime");
  putReal(exifDict, "FNumber", exif, "Exif.Photo.FNumber");
  if (const auto* iso = find(exif, "Exif.Photo.ISOSpeedRatings")) {
    Json ratings = Json::array();
    for (long i = 0; i < iso->count(); ++i) ratings.push_back(static_cast<std::int64_t>(iso->toLong(i)));
    exifDict["ISOSpeedRatings"] = ratings;
  }

  Json gps = Json::object();
  putDegrees(gps, "Latitude", exif, "Exif.GPSInfo.GPSLatitude");
  putText(gps, "LatitudeRef", exif, "Exif.GPSInfo.GPSLatitudeRef");
  putDegrees(gps, "Longitude", exif, "Exif.GPSInfo.GPSLongitude");
  putText(gps, "LongitudeRef", exif, "Exif.GPSInfo.GPSLongitudeRef");
  putReal(gps, "Altitude", exif, "Exif.GPSInfo.GPSAltitude");
  putInteger(gps, "AltitudeRef", exif, "Exif.GPSInfo.GPSAltitudeRef");
  putText(gps, "DateStamp", exif, "Exif.GPSInfo.GPSDateStamp");
  putTimeStamp(gps, exif);
  putEncodedText(gps, "ProcessingMethod", exif, "Exif.GPSInfo.GPSProcessingMethod");

  if (!tiff.empty()) properties[kImagePropertyTIFFDictionary] = tiff;
  if (!exifDict.empty()) properties[kImagePropertyExifDictionary] = exifDict;
  if (!gps.empty()) properties[kImagePropertyGPSDictionary] = gps;
  return properties;
}

// Runs `read` with libexiv2 set up, its exceptions turned into errors;
// once the process exits, nothing is read.
template <class Read>
auto guarded(const Read& read) -> decltype(read()) {
  initialiseExiv2();
  const ReadPass pass;
  if (!pass.open()) {
    return Error(kMediaErrorDomain, kMediaErrorExiting,
                 Json{{Error::kLocalizedDescriptionKey, "The process is exiting."}});
  }
  try {
    return read();
  } catch (const Exiv2::AnyError& error) {
    return unreadable(error.what());
  } catch (const std::exception& error) {
    return unreadable(error.what());
  }
}

// A HEIF picture (HEIC and its family) is turned by its own transform,
// which its decoder applies (the EXIF orientation only restates it): its
// size is the size as shown, and no orientation is told, so that nothing
// turns it twice. Its EXIF block is read by libexiv2 all the same.
Json heifProperties(const HeifHeader& header) {
  Exiv2::ExifData exif;
  const Bytes& block = header.exif;
  // The block is TIFF bytes, sometimes after the JPEG marker's "Exif\0\0".
  constexpr std::size_t kExifMarker = 6;
  const std::size_t start =
      block.size() > kExifMarker && std::equal(block.begin(), block.begin() + 4, "Exif") ? kExifMarker : 0;
  if (block.size() > start) {
    // Damaged EXIF leaves the picture without its values, still a picture.
    try {
      Exiv2::ExifParser::decode(exif, block.data() + start, static_cast<std::uint32_t>(block.size() - start));
    } catch (const std::exception&) {
      exif.clear();
    }
  }
  return propertiesFrom(header.width, header.height, exif, Stored::Upright);
}

// libexiv2 reads every format but HEIF (its reader of ISO base media stays
// off: it would take every MPEG-4 movie for a picture, and of HEIF it reads
// neither the size shown nor the EXIF of the files libheif writes); what it
// does not know is asked of the HEIF reader.
template <class Open, class ReadHeif>
Result<Json> readImageProperties(const Open& open, const ReadHeif& readHeif) {
  return guarded([&]() -> Result<Json> {
    std::optional<std::string> refused;
    try {
      ExivImage image = open();
      if (image.get() != nullptr && image->good() && image->mimeType().rfind("image/", 0) == 0) {
        image->readMetadata();
        return propertiesFrom(static_cast<std::int64_t>(image->pixelWidth()),
                              static_cast<std::int64_t>(image->pixelHeight()), image->exifData(),
                              Stored::AsExifSays);
      }
    } catch (const Exiv2::AnyError& error) {
      refused = error.what();
    }
    const Result<HeifHeader> heif = readHeif();
    if (heif.ok()) return heifProperties(*heif);
    return unreadable(refused.value_or("Not an image."));
  });
}

std::optional<double> signedDegrees(const Json& gps, const char* name, const char* refName,
                                    char negativeRef) {
  auto it = gps.find(name);
  if (it == gps.end() || !it->is_number()) return std::nullopt;
  double value = it->get<double>();
  auto ref = gps.find(refName);
  if (ref != gps.end() && ref->is_string() && !ref->get_ref<const std::string&>().empty() &&
      (ref->get_ref<const std::string&>()[0] | 0x20) == (negativeRef | 0x20)) {
    value = -value;
  }
  return value;
}

std::optional<std::int64_t> xmpInteger(const Exiv2::XmpData& xmp, const char* key) {
  auto it = xmp.findKey(Exiv2::XmpKey(key));
  if (it == xmp.end() || it->count() == 0) return std::nullopt;
  return static_cast<std::int64_t>(it->toLong(0));
}

}  // namespace

bool mediaReadsStopped() {
  ReadGate& gate = readGate();
  std::lock_guard<std::mutex> lock(gate.mutex);
  return gate.closed;
}

Result<Json> imagePropertiesWithData(const Bytes& data) {
  if (data.empty()) return unreadable("No image data.");
  return readImageProperties([&] { return Exiv2::ImageFactory::open(data.data(), static_cast<long>(data.size())); },
                             [&] { return heifHeaderWithData(data); });
}

Result<Json> imagePropertiesOfFile(const std::filesystem::path& path) {
  return readImageProperties([&] { return Exiv2::ImageFactory::open(path.string(), false); },
                             [&] { return heifHeaderOfFile(path); });
}

std::optional<Location> locationFromImageProperties(const Json& properties) {
  if (!properties.is_object()) return std::nullopt;
  auto gps = properties.find(kImagePropertyGPSDictionary);
  if (gps == properties.end() || !gps->is_object()) return std::nullopt;
  auto latitude = signedDegrees(*gps, "Latitude", "LatitudeRef", 'S');
  auto longitude = signedDegrees(*gps, "Longitude", "LongitudeRef", 'W');
  if (!latitude || !longitude || std::abs(*latitude) > 90 || std::abs(*longitude) > 180) {
    return std::nullopt;
  }
  Location location{*latitude, *longitude, std::nullopt};
  auto altitude = gps->find("Altitude");
  if (altitude != gps->end() && altitude->is_number()) {
    const bool below = gps->contains("AltitudeRef") && (*gps)["AltitudeRef"].is_number_integer() &&
                       (*gps)["AltitudeRef"].get<std::int64_t>() == 1;
    location.altitude = below ? -altitude->get<double>() : altitude->get<double>();
  }
  return location;
}

std::optional<Clock::TimePoint> dateTakenFromImageProperties(const Json& properties) {
  if (!properties.is_object()) return std::nullopt;
  auto exif = properties.find(kImagePropertyExifDictionary);
  if (exif == properties.end() || !exif->is_object()) return std::nullopt;
  auto text = exif->find("DateTimeOriginal");
  if (text == exif->end() || !text->is_string()) return std::nullopt;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text->get_ref<const std::string&>().c_str(), "%4d:%2d:%2d %2d:%2d:%2d", &year, &month,
                  &day, &hour, &minute, &second) != 6) {
    return std::nullopt;
  }
  using namespace std::chrono;
  const year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || year < 1678 || year > 2261 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  return time_point_cast<Clock::Duration>(sys_days(date) + hours(hour) + minutes(minute) +
                                          seconds(second));
}

Result<VideoProperties> videoPropertiesOfFile(const std::filesystem::path& path) {
  return guarded([&]() -> Result<VideoProperties> {
    ExivImage image = Exiv2::ImageFactory::open(path.string(), false);
    if (image.get() == nullptr || image->mimeType().rfind("video/", 0) != 0) return unreadable("Not a movie.");
    image->readMetadata();
    const Exiv2::XmpData& xmp = image->xmpData();
    VideoProperties properties;
    properties.pixelWidth = xmpInteger(xmp, "Xmp.video.Width").value_or(0);
    properties.pixelHeight = xmpInteger(xmp, "Xmp.video.Height").value_or(0);
    auto duration = xmpInteger(xmp, "Xmp.video.Duration");  // milliseconds
    if (!duration) return unreadable("The movie has no header.");
    properties.duration = static_cast<double>(*duration) / 1000.0;
    // Movie times count seconds from 1904-01-01; 0 means unset.
    if (auto created = xmpInteger(xmp, "Xmp.video.DateUTC"); created && *created > 0) {
      constexpr std::int64_t kSeconds1904To1970 = 2082844800;
      properties.creationDate = Clock::TimePoint(std::chrono::seconds(*created - kSeconds1904To1970));
    }
    return properties;
  });
}

}  // namespace platform

#pragma GCC diagnostic pop
