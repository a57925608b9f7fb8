#include "screens/common/LMCustomUtils.h"

#include <sys/statvfs.h>

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>

#include "cloud/model/LMContact.h"
#include "cloud/request/LMHTTPResponseSerialization.h"
#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"
#include "stats/KoStatSDK.h"
#include "utils/LMErrors.h"

namespace lumora {

namespace ui = platform::ui;

namespace {
LMCustomUtils::FreeSpaceReader& freeSpaceReader() {
  static auto& reader = *new LMCustomUtils::FreeSpaceReader();
  return reader;
}

std::optional<std::string> firstListValue(const platform::Json& list) {
  if (!list.is_array() || list.empty()) return std::nullopt;
  const auto& first = list.front();
  if (!first.is_object() || !first.contains("value") || !first["value"].is_string()) return std::nullopt;
  return first["value"].get<std::string>();
}

// The contact's name for the photo-size message, in the order the message
// looks for one: name, nickname, company (present counts, even empty),
// then the first phone number, else the first e-mail address.
std::optional<std::string> photoOwnerName(const platform::Json& userInfo) {
  if (!userInfo.is_object() || !userInfo.contains("contact")) return std::nullopt;
  // The contact travels in its cloud form: the record around its content.
  const platform::Json& record = userInfo["contact"];
  bool wrapped = record.is_object() && record.contains(kLMRecordContentKey);
  auto contact = LMContact::initWithLumoraJSON(wrapped ? record[kLMRecordContentKey] : record);
  if (!contact) return std::nullopt;
  if (contact->name) return contact->name;
  if (contact->nickName) return contact->nickName;
  if (contact->company) return contact->company;
  if (contact->phoneNumberArray.is_array()) return firstListValue(contact->phoneNumberArray);
  if (contact->emailArray.is_array()) return firstListValue(contact->emailArray);
  return std::nullopt;
}

// The wait of a 503 reply in seconds; 0 when absent or not a finite number.
double retryAfterSeconds(const platform::Json& data) {
  if (!data.is_object() || !data.contains("retryAfter")) return 0;
  const auto& value = data["retryAfter"];
  double seconds = 0;
  if (value.is_number()) {
    seconds = value.get<double>();
  } else if (value.is_string()) {
    seconds = std::strtod(value.get<std::string>().c_str(), nullptr);
  }
  return std::isfinite(seconds) ? seconds : 0;
}

// The whole part of a positive wait, bounded to the 64-bit range.
std::int64_t truncatedWait(double value) {
  constexpr double kLimit = 9223372036854775807.0;  // 2^63 as a double
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(value);
}

std::optional<std::string> retryMessage(const platform::Error& error) {
  if (error.domain() != kLMServerErrorDomain) return std::nullopt;
  const auto& info = error.userInfo();
  if (!info.is_object() || !info.contains("data")) return std::nullopt;
  double minutes = retryAfterSeconds(info["data"]) / 60.0;
  std::optional<std::string> wait;
  if (minutes > 0 && minutes < 60) {
    wait = ui::localizedCountString("503 Minute Format", truncatedWait(minutes));
  } else if (minutes >= 60) {
    wait = ui::localizedCountString("503 Hour Format", truncatedWait(minutes / 60));
  }
  if (!wait) return ui::localizedString("503 Server");
  return ui::stringWithFormat(ui::localizedString("503 Server Format"), {*wait});
}
}  // namespace

std::optional<std::string> LMCustomUtils::messageForURLError(const platform::Error& error, const std::string& event) {
  auto count = [&](const char* name) { KoStatSDK::recordCountEvent(std::string(name), event); };
  if (auto target = LMHTTPResponseSerialization::redirectURLOfError(error)) {
    count("fail_redirect");
    return ui::stringWithFormat(ui::localizedString("Request Sent Elsewhere Format"), {*target});
  }
  switch (error.code()) {
    case -1001:
    case -1003:
    case -1004:
    case -1005:
    case -1006:
    case -1008:
    case -1009:
      count("fail_bad_network");
      return ui::localizedString("Bad Network");
    case -1011:
      count("fail_server_error");
      return ui::localizedString("Server Internal Error");
    case 80001:
    case 80002:
    case 80003:
    case 80005:
      count("fail_file_upload");
      return ui::localizedString("Upload Photo Failed");
    case 80004: {
      count("fail_photo_size_exceed");
      auto name = photoOwnerName(error.userInfo());
      if (!name) return ui::localizedString("Photo Too Large");
      return ui::stringWithFormat(ui::localizedString("Photo Too Large Format"), {*name});
    }
    case 80007:
      count("fail_space_exceed");
      return ui::localizedString("Cloud Space Exceed");
    case 503:
      count("fail_503");
      return retryMessage(error);
    default:
      count("fail_unknown");
      return std::nullopt;
  }
}

std::filesystem::path LMCustomUtils::applicationDocumentsDirectory() { return platform::AppHome::documents(); }

std::string LMCustomUtils::stringWithByteNum(std::int64_t bytes) {
  if (bytes <= 1023) return ui::stringWithFormat("%lliB", {bytes});
  static const char* const kUnits[] = {"%.2fKB", "%.2fMB", "%.2fGB", "%.2fTB"};
  double value = static_cast<double>(bytes) * 0.0009765625;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value *= 0.0009765625;
    ++unit;
  }
  return ui::stringWithFormat(kUnits[unit], {value});
}

std::optional<std::string> LMCustomUtils::stringFromJSONObject(const std::optional<platform::Json>& object) {
  if (!object) return std::nullopt;
  try {
    return object->dump(2);
  } catch (const platform::Json::exception&) {
    return std::nullopt;  // a text that is not UTF-8
  }
}

std::optional<platform::Json> LMCustomUtils::jsonObjectFromString(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  auto parsed = platform::Json::parse(*text, nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

std::optional<std::string> LMCustomUtils::getPreferredLanguage() {
  auto languages = platform::UserDefaults::standard().arrayForKey(platform::UserDefaults::kAppleLanguagesKey);
  if (!languages || languages->empty() || !languages->front().is_string()) return std::nullopt;
  return languages->front().get<std::string>();
}

ui::Size LMCustomUtils::screenSize() {
  static const ui::Size size = [] {
    ui::Rect b = ui::Screen::main().bounds();
    return ui::Size{b.width * 4.0, b.height * 4.0};
  }();
  return size;
}

platform::Image LMCustomUtils::rotateImage(const platform::Image& image, int orientation) {
  // The bitmap as stored, shown as its EXIF orientation says: turned, and
  // mirrored for 2, 4, 5 and 7. Another value draws it as stored.
  if (orientation < 2 || orientation > 8) return image.withOrientation(platform::ImageOrientation::Up);
  return image.withOrientation(platform::imageOrientationFromExif(orientation)).uprightImage();
}

std::string LMCustomUtils::bundleImageNameForName(const std::string& name) {
  ui::Rect b = ui::Screen::main().bounds();
  if (b.width == 375 || b.height == 375) return name + "6.png";
  if (b.width == 414 || b.height == 414) return name + "6p.png";
  return name + ".png";
}

std::optional<ui::Image> LMCustomUtils::bundleImageForName(const std::string& name) {
  return ui::Image::imageNamed(bundleImageNameForName(name));
}

std::optional<std::int64_t> LMCustomUtils::freeSpaceForDevice() {
  auto documents = applicationDocumentsDirectory();
  if (auto& reader = freeSpaceReader()) return reader(documents);
  struct statvfs info {};
  if (::statvfs(documents.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

bool LMCustomUtils::hasSpaceForDownload(std::int64_t bytes) {
  constexpr std::int64_t kKeptFree = 104857600;
  return 2 * bytes <= freeSpaceForDevice().value_or(0) - kKeptFree;
}

void LMCustomUtils::setFreeSpaceReaderForTesting(FreeSpaceReader reader) { freeSpaceReader() = std::move(reader); }

void LMCustomUtils::localNotifWithMessage(const std::string& message) {
  platform::LocalNotification notification;
  notification.alertBody = message;
  notification.fireDate = platform::Clock::currentTime();
  platform::Application::shared().scheduleLocalNotification(std::move(notification));
}

}  // namespace lumora
