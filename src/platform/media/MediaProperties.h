// What the platform reads from inside image and video files without decoding
// them (the phone's image I/O properties and movie metadata), through
// libexiv2, and for HEIF pictures (HEIC) libheif's header with libexiv2
// reading its EXIF. A HEIF picture comes upright from its decoder (its own
// turn applied): its size is the size as shown, and neither "Orientation"
// nor "{TIFF}" "Orientation" is told.
//
// Image properties come as the platform's dictionary: "PixelWidth",
// "PixelHeight" and "Orientation" (EXIF 1 to 8) at the top, and the
// sub-dictionaries "{TIFF}" (Make, Model, DateTime, Orientation), "{Exif}"
// (DateTimeOriginal, WhiteBalance, FocalLength, Flash, ExposureTime,
// ISOSpeedRatings as a list, FNumber) and "{GPS}" (Latitude, Longitude and
// Altitude as unsigned numbers, LatitudeRef, LongitudeRef, AltitudeRef,
// DateStamp, TimeStamp, ProcessingMethod), each present only when the file
// has at least one of its values. Every text is UTF-8: one written in
// another encoding has its other bytes read as Latin-1 (toValidUtf8), but
// ProcessingMethod, which is left out then.
//
// Any thread. Failure: a file that is not an image or video we can read is
// an Error in kMediaErrorDomain, never a crash or an exception.
// Exit: libexiv2 frees its tables from its own exit handlers. When the
// process exits, reads stop first: an exit handler waits for the reads
// under way, and from then on every read fails with kMediaErrorExiting, so
// that a worker still reading files never reads through freed tables.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/Bytes.h"
#include "platform/dispatch/Clock.h"
#include "platform/Error.h"
#include "platform/Result.h"

namespace platform {

inline constexpr const char* kMediaErrorDomain = "platform.media";
inline constexpr std::int64_t kMediaErrorUnreadable = 1;
inline constexpr std::int64_t kMediaErrorExiting = 2;

inline constexpr const char* kImagePropertyPixelWidth = "PixelWidth";
inline constexpr const char* kImagePropertyPixelHeight = "PixelHeight";
inline constexpr const char* kImagePropertyOrientation = "Orientation";
inline constexpr const char* kImagePropertyTIFFDictionary = "{TIFF}";
inline constexpr const char* kImagePropertyExifDictionary = "{Exif}";
inline constexpr const char* kImagePropertyGPSDictionary = "{GPS}";

// Whether the process has begun to exit, so that reads fail whatever the
// file: a caller tells "unreadable" from "not read" by it.
bool mediaReadsStopped();

Result<Json> imagePropertiesWithData(const Bytes& data);
Result<Json> imagePropertiesOfFile(const std::filesystem::path& path);

// A place on earth in signed decimal degrees (south and west negative).
struct Location {
  double latitude = 0;
  double longitude = 0;
  std::optional<double> altitude;  // metres, negative below sea level
  friend bool operator==(const Location&, const Location&) = default;
};

// The location an image's GPS properties give, when they give one.
std::optional<Location> locationFromImageProperties(const Json& properties);
// The time an image's EXIF says it was taken ("yyyy:MM:dd HH:mm:ss", read as
// UTC), when it says so.
std::optional<Clock::TimePoint> dateTakenFromImageProperties(const Json& properties);

struct VideoProperties {
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  double duration = 0;                              // seconds
  std::optional<Clock::TimePoint> creationDate;     // from the movie header, when set
};

// QuickTime and MPEG-4 family movies.
Result<VideoProperties> videoPropertiesOfFile(const std::filesystem::path& path);

}  // namespace platform
