#include "platform/storage/PropertyList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "platform/storage/OwnFile.h"

namespace platform::plist {
namespace {

// Seconds from 1970-01-01 to 2001-01-01, the epoch of plist dates.
constexpr std::int64_t kEpoch2001Seconds = 978307200;

using Milliseconds = std::chrono::milliseconds;
using Microseconds = std::chrono::microseconds;

// Microseconds since 2001-01-01, floored.
std::int64_t microsSince2001(Clock::TimePoint date) {
  auto us = std::chrono::floor<Microseconds>(date.time_since_epoch()).count();
  return us - kEpoch2001Seconds * 1000000;
}

// The seconds since 2001-01-01 exactly as a date node holds them (a double),
// read from the node's binary form: libplist's own reader cuts the fraction
// to whole microseconds toward zero, so half of all dates it wrote itself
// would read back a microsecond early, and one more on every rewrite.
// nullopt when that form is not the expected single date object.
std::optional<double> storedDateSeconds(plist_t node) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node, &raw, &length);
  std::optional<double> seconds;
  // "bplist00", then the date object: marker 0x33 and a big-endian double.
  if (raw && length >= 17 && static_cast<std::uint8_t>(raw[8]) == 0x33) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<std::uint8_t>(raw[9 + i]);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    seconds = value;
  }
  if (raw) plist_to_bin_free(raw);
  return seconds;
}

Error fileError(std::int64_t code, const std::filesystem::path& file, const std::string& what,
                int err) {
  Json info = {{kFilePathKey, file.string()},
               {Error::kLocalizedDescriptionKey,
                err ? fmt::format("{}: {}", what, std::strerror(err)) : what}};
  if (err) info["errno"] = err;
  return Error(kCocoaErrorDomain, code, std::move(info));
}

Error writeError(const std::filesystem::path& file, const std::string& what, int err) {
  bool denied = err == EACCES || err == EPERM || err == EROFS;
  return fileError(denied ? kFileWriteNoPermission : kFileWriteUnknown, file, what, err);
}

bool writeAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void syncFolder(const std::filesystem::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool storableString(const std::string& text) {
  return text.find('\0') == std::string::npos && isValidUtf8(text);
}

plist_t newString(const std::string& text) {
  if (!storableString(text)) return nullptr;
  return plist_new_string(text.c_str());
}

std::string stringValue(plist_t node) {
  char* raw = nullptr;
  if (plist_get_node_type(node) == PLIST_KEY) {
    plist_get_key_val(node, &raw);
  } else {
    plist_get_string_val(node, &raw);
  }
  std::string text = raw ? raw : "";
  std::free(raw);
  return text;
}

Bytes dataValue(plist_t node) {
  std::uint64_t length = 0;
  const char* ptr = plist_get_data_ptr(node, &length);
  if (!ptr) return {};
  auto begin = reinterpret_cast<const std::uint8_t*>(ptr);
  return Bytes(begin, begin + length);
}

std::int64_t integerValue(plist_t node) {
  std::uint64_t value = 0;
  if (plist_get_node_type(node) == PLIST_UID) {
    plist_get_uid_val(node, &value);
  } else {
    plist_get_uint_val(node, &value);
  }
  return static_cast<std::int64_t>(value);
}

void forEachEntry(plist_t dict, const std::function<void(const char* key, plist_t value)>& visit) {
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(dict, &iter);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dict, iter, &key, &value);
    if (!key || !value) {
      std::free(key);
      break;
    }
    visit(key, value);
    std::free(key);
  }
  std::free(iter);
}

bool dateInRange(Clock::TimePoint date) {
  std::int64_t sec = microsSince2001(date) / 1000000;  // truncates toward zero, as libplist splits it
  return sec >= INT32_MIN && sec <= INT32_MAX;
}

Clock::TimePoint truncatedToMilliseconds(Clock::TimePoint date) {
  return Clock::TimePoint(std::chrono::floor<Milliseconds>(date.time_since_epoch()));
}

plist_t newDate(Clock::TimePoint date) {
  if (!dateInRange(date)) return nullptr;
  std::int64_t us2001 = microsSince2001(date);
  auto sec = static_cast<std::int32_t>(us2001 / 1000000);
  auto usec = static_cast<std::int32_t>(us2001 % 1000000);  // same sign as sec
  return plist_new_date(sec, usec);
}

Clock::TimePoint dateValue(plist_t node, std::chrono::microseconds resolution) {
  std::int64_t micros = 0;
  // Whole seconds of 32 bits (toward zero), as libplist writes and reads them.
  auto seconds = storedDateSeconds(node);
  if (seconds && *seconds > -2147483649.0 && *seconds < 2147483648.0) {
    micros = std::llround(*seconds * 1e6);
  } else {
    std::int32_t sec = 0;
    std::int32_t usec = 0;
    plist_get_date_val(node, &sec, &usec);
    // libplist hands back the fraction as a magnitude; it belongs to the side
    // of zero that the seconds are on.
    micros = static_cast<std::int64_t>(sec) * 1000000 + (sec < 0 ? -std::llabs(usec) : std::llabs(usec));
  }
  const std::int64_t step = std::max<std::int64_t>(resolution.count(), 1);
  auto us2001 = static_cast<std::int64_t>(std::llround(static_cast<double>(micros) / static_cast<double>(step))) * step;
  return Clock::TimePoint(std::chrono::duration_cast<Clock::Duration>(
      Microseconds(us2001 + kEpoch2001Seconds * 1000000)));
}

std::string isoDateText(Clock::TimePoint date) {
  auto ms = std::chrono::floor<Milliseconds>(date.time_since_epoch()).count();
  std::int64_t secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  int frac = static_cast<int>(ms - secs * 1000);
  std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  if (frac == 0) return fmt::format("{}Z", buf);
  return fmt::format("{}.{:03d}Z", buf, frac);
}

Json toJson(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return value != 0;
    }
    case PLIST_UINT:
    case PLIST_UID:
      return integerValue(node);
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return value;
    }
    case PLIST_STRING:
    case PLIST_KEY:
      return stringValue(node);
    case PLIST_DATA:
      return Json::binary(dataValue(node));
    case PLIST_DATE:
      return isoDateText(dateValue(node));
    case PLIST_ARRAY: {
      Json array = Json::array();
      std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < size; ++i) array.push_back(toJson(plist_array_get_item(node, i)));
      return array;
    }
    case PLIST_DICT: {
      Json object = Json::object();
      forEachEntry(node, [&](const char* key, plist_t value) { object[key] = toJson(value); });
      return object;
    }
    default:
      return nullptr;
  }
}

bool storableJson(const Json& json) {
  switch (json.type()) {
    case Json::value_t::string:
      return storableString(json.get_ref<const std::string&>());
    case Json::value_t::number_unsigned:
      return json.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX);
    case Json::value_t::boolean:
    case Json::value_t::number_integer:
    case Json::value_t::number_float:
    case Json::value_t::binary:
      return true;
    case Json::value_t::array:
      for (const auto& item : json) {
        if (!storableJson(item)) return false;
      }
      return true;
    case Json::value_t::object:
      for (const auto& [key, value] : json.items()) {
        if (!storableString(key) || !storableJson(value)) return false;
      }
      return true;
    default:
      return false;
  }
}

namespace {

plist_t buildNode(const Json& json) {
  switch (json.type()) {
    case Json::value_t::string:
      return plist_new_string(json.get_ref<const std::string&>().c_str());
    case Json::value_t::boolean:
      return plist_new_bool(json.get<bool>() ? 1 : 0);
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return plist_new_uint(static_cast<std::uint64_t>(json.get<std::int64_t>()));
    case Json::value_t::number_float:
      return plist_new_real(json.get<double>());
    case Json::value_t::binary: {
      const auto& bytes = json.get_binary();
      return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case Json::value_t::array: {
      plist_t array = plist_new_array();
      for (const auto& item : json) plist_array_append_item(array, buildNode(item));
      return array;
    }
    case Json::value_t::object: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, value] : json.items()) plist_dict_set_item(dict, key.c_str(), buildNode(value));
      return dict;
    }
    default:
      return nullptr;
  }
}

}  // namespace

Node fromJson(const Json& json) {
  if (!storableJson(json)) return nullptr;
  return Node(buildNode(json));
}

Json normalizedJson(const Json& json) {
  switch (json.type()) {
    case Json::value_t::number_unsigned:
      return json.get<std::int64_t>();
    case Json::value_t::array: {
      Json array = Json::array();
      for (const auto& item : json) array.push_back(normalizedJson(item));
      return array;
    }
    case Json::value_t::object: {
      Json object = Json::object();
      for (const auto& [key, value] : json.items()) object[key] = normalizedJson(value);
      return object;
    }
    default:
      return json;
  }
}

namespace {

// libplist trusts what it reads: a string holding a NUL (easy to write in
// UTF-16) trips an assertion the first time it is read, ending the process,
// and a reference cycle recurses without end. So the bytes are checked here
// first, and anything the readers could not take is refused as corrupt.

constexpr std::size_t kMaxDepth = 512;

struct BinaryPlist {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t offsetSize;
  std::size_t refSize;
  std::uint64_t objectCount;
  std::size_t tableOffset;

  std::optional<std::uint64_t> readInt(std::size_t at, std::size_t width) const {
    if (width == 0 || width > 8 || at > size || size - at < width) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | data[at + i];
    return value;
  }

  std::optional<std::size_t> objectOffset(std::uint64_t index) const {
    if (index >= objectCount) return std::nullopt;
    auto offset = readInt(tableOffset + static_cast<std::size_t>(index) * offsetSize, offsetSize);
    if (!offset || *offset < 8 || *offset >= tableOffset) return std::nullopt;
    return static_cast<std::size_t>(*offset);
  }

  // The count in the low nibble of a marker, or in the integer after it;
  // `at` moves past the marker and count.
  std::optional<std::uint64_t> readCount(std::size_t& at) const {
    const std::uint8_t info = data[at] & 0x0F;
    ++at;
    if (info != 0x0F) return info;
    if (at >= tableOffset || (data[at] & 0xF0) != 0x10) return std::nullopt;
    const std::size_t width = std::size_t{1} << (data[at] & 0x0F);
    auto count = readInt(at + 1, width);
    at += 1 + width;
    return count;
  }

  // True when `length` bytes from `at` lie before the offset table.
  bool fits(std::size_t at, std::uint64_t length) const {
    return at <= tableOffset && length <= tableOffset - at;
  }

  bool checkObject(std::uint64_t index, std::vector<std::uint8_t>& state, std::size_t depth) const {
    if (depth > kMaxDepth) return false;
    auto offset = objectOffset(index);
    if (!offset) return false;
    if (state[index] == 2) return true;   // checked already
    if (state[index] == 1) return false;  // a container holding itself
    std::size_t at = *offset;
    const std::uint8_t marker = data[at];
    switch (marker >> 4) {
      case 0x0:
        return marker == 0x00 || marker == 0x08 || marker == 0x09 || marker == 0x0F;
      case 0x1:  // 1 to 16 bytes (16 for values past the signed 64-bit range)
        return (marker & 0x0F) <= 4 && fits(at + 1, std::uint64_t{1} << (marker & 0x0F));
      case 0x2:
        return (marker & 0x0F) <= 3 && fits(at + 1, std::uint64_t{1} << (marker & 0x0F));
      case 0x3:
        return marker == 0x33 && fits(at + 1, 8);
      case 0x8:
        return fits(at + 1, (marker & 0x0F) + 1u);
      case 0x4: {
        auto count = readCount(at);
        return count && fits(at, *count);
      }
      case 0x5: {  // ASCII: no NUL and nothing beyond 7 bits
        auto count = readCount(at);
        if (!count || !fits(at, *count)) return false;
        for (std::uint64_t i = 0; i < *count; ++i) {
          if (data[at + i] == 0 || data[at + i] >= 0x80) return false;
        }
        return true;
      }
      case 0x6: {  // UTF-16: no NUL unit
        auto count = readCount(at);
        if (!count || *count > tableOffset || !fits(at, *count * 2)) return false;
        for (std::uint64_t i = 0; i < *count; ++i) {
          if (data[at + 2 * i] == 0 && data[at + 2 * i + 1] == 0) return false;
        }
        return true;
      }
      case 0xA:
      case 0xC:
      case 0xD: {
        auto count = readCount(at);
        const std::uint64_t refs = (marker >> 4) == 0xD ? 2 : 1;
        if (!count || *count > tableOffset || !fits(at, *count * refs * refSize)) return false;
        state[index] = 1;
        for (std::uint64_t i = 0; i < *count * refs; ++i) {
          auto ref = readInt(at + static_cast<std::size_t>(i) * refSize, refSize);
          if (!ref || !checkObject(*ref, state, depth + 1)) return false;
          // Dictionary keys are strings.
          if (refs == 2 && i < *count) {
            const std::uint8_t keyType = data[*objectOffset(*ref)] >> 4;
            if (keyType != 0x5 && keyType != 0x6) return false;
          }
        }
        state[index] = 2;
        return true;
      }
      default:
        return false;
    }
  }
};

bool binaryIsSafe(const Bytes& bytes) {
  if (bytes.size() < 8 + 32) return false;
  const std::uint8_t* trailer = bytes.data() + bytes.size() - 32;
  BinaryPlist plist{bytes.data(), bytes.size(), trailer[6], trailer[7], 0, 0};
  const auto count = plist.readInt(bytes.size() - 24, 8);
  const auto top = plist.readInt(bytes.size() - 16, 8);
  const auto table = plist.readInt(bytes.size() - 8, 8);
  if (!count || !top || !table || plist.offsetSize < 1 || plist.offsetSize > 8 ||
      plist.refSize < 1 || plist.refSize > 8 || *table < 9 || *table > bytes.size() - 32 ||
      *count == 0 || *count > (bytes.size() - 32 - *table) / plist.offsetSize) {
    return false;
  }
  plist.objectCount = *count;
  plist.tableOffset = static_cast<std::size_t>(*table);
  std::vector<std::uint8_t> state(static_cast<std::size_t>(*count), 0);
  return plist.checkObject(*top, state, 0);
}

// XML: the text must be UTF-8 without NUL, and no character reference may
// stand for NUL ("&#0;", "&#x00;").
bool xmlIsSafe(const Bytes& bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.find('\0') != std::string_view::npos || !isValidUtf8(text)) return false;
  for (std::size_t at = text.find("&#"); at != std::string_view::npos; at = text.find("&#", at + 2)) {
    std::size_t i = at + 2;
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] != ';' && digits < 16; ++i, ++digits) {
      const int digit = hex ? hexDigitValue(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
      if (digit < 0) break;
      value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    }
    if (digits > 0 && value == 0) return false;
  }
  return true;
}

}  // namespace

bool safeToParse(const Bytes& bytes) {
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0) return binaryIsSafe(bytes);
  return xmlIsSafe(bytes);
}

Node parse(const Bytes& bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return nullptr;
  if (!safeToParse(bytes)) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()),
                    &root);
  return Node(root);
}

Bytes toBinary(plist_t root) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &raw, &length);
  if (!raw) return {};
  Bytes bytes(reinterpret_cast<std::uint8_t*>(raw), reinterpret_cast<std::uint8_t*>(raw) + length);
  plist_to_bin_free(raw);
  return bytes;
}

Bytes toXml(plist_t root) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root, &raw, &length);
  if (!raw) return {};
  // Some versions of the library count the closing NUL.
  while (length > 0 && raw[length - 1] == '\0') --length;
  Bytes bytes(reinterpret_cast<std::uint8_t*>(raw), reinterpret_cast<std::uint8_t*>(raw) + length);
  plist_to_xml_free(raw);
  return bytes;
}

Result<Bytes> readFile(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    std::int64_t code = (err == ENOENT || err == ENOTDIR) ? kFileReadNoSuchFile
                        : (err == EACCES || err == EPERM) ? kFileReadNoPermission
                                                          : kFileReadUnknown;
    return fileError(code, file, "cannot open the file", err);
  }
  // Read straight into place, sized by the file's length (a file that
  // grows meanwhile is read to its end all the same).
  struct stat info {};
  const std::size_t expected =
      ::fstat(fd, &info) == 0 && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
  Bytes bytes(expected + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() + 64 * 1024);
    ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return fileError(kFileReadUnknown, file, "cannot read the file", err);
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(filled);
  return bytes;
}

Result<Bytes> readStoredFile(const std::filesystem::path& file, std::uint64_t limit) {
  OwnFileProblem problem = OwnFileProblem::None;
  std::optional<std::string> contents = readOwnFile(file, limit, &problem);
  if (contents) return toBytes(*contents);
  const int err = errno;
  switch (problem) {
    case OwnFileProblem::Missing:
      return fileError(kFileReadNoSuchFile, file, "cannot open the file", ENOENT);
    case OwnFileProblem::NotRegular:
      return fileError(kFileReadUnknown, file, "not a file of the program's own (a link, a pipe or a folder)", err);
    case OwnFileProblem::TooLarge:
      return fileError(kFileReadUnknown, file, fmt::format("the file is larger than {} bytes", limit), 0);
    default: {
      std::int64_t code = err == ENOTDIR                   ? kFileReadNoSuchFile
                          : (err == EACCES || err == EPERM) ? kFileReadNoPermission
                                                            : kFileReadUnknown;
      return fileError(code, file, "cannot read the file", err);
    }
  }
}

Status writeFileAtomically(const std::filesystem::path& file, const Bytes& bytes, mode_t mode) {
  std::filesystem::path dir = file.parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return writeError(file, "cannot create the folder", ec.value());

  std::string pattern = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return writeError(file, "cannot create a temporary file", errno);

  auto fail = [&](const char* what) {
    int err = errno;
    ::close(fd);
    ::unlink(pattern.c_str());
    return writeError(file, what, err);
  };
  if (!writeAll(fd, bytes)) return fail("cannot write the temporary file");
  if (::fchmod(fd, mode) != 0) return fail("cannot set the file mode");
  if (::fsync(fd) != 0) return fail("cannot flush the temporary file");
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(pattern.c_str());
    return writeError(file, "cannot close the temporary file", err);
  }
  if (::rename(pattern.c_str(), file.c_str()) != 0) {
    int err = errno;
    ::unlink(pattern.c_str());
    return writeError(file, "cannot replace the file", err);
  }
  syncFolder(dir);
  return Status::success();
}

Result<std::filesystem::path> moveAside(const std::filesystem::path& file) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::filesystem::path target = file;
    target += attempt == 0 ? std::string(".corrupt") : fmt::format(".corrupt.{}", attempt);
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) continue;
    // link + unlink never replaces a file that appeared in the meantime.
    if (::link(file.c_str(), target.c_str()) == 0) {
      if (::unlink(file.c_str()) != 0) {
        int err = errno;
        ::unlink(target.c_str());
        return writeError(file, "cannot move the unreadable file aside", err);
      }
      syncFolder(file.parent_path());
      return target;
    }
    if (errno == EEXIST) continue;
    // Some file systems have no hard links; a checked rename is the fallback.
    if (errno == EPERM || errno == ENOTSUP || errno == EXDEV) {
      if (::rename(file.c_str(), target.c_str()) == 0) {
        syncFolder(file.parent_path());
        return target;
      }
    }
    return writeError(file, "cannot move the unreadable file aside", errno);
  }
  return writeError(file, "no free name to move the unreadable file aside", EEXIST);
}

}  // namespace platform::plist

namespace platform::plist {

Error setAsideUnreadable(const std::filesystem::path& file, Error why, bool& movedAside) {
  Result<std::filesystem::path> moved = moveAside(file);
  movedAside = moved.ok();
  if (movedAside) {
    why.mutableUserInfo()["movedTo"] = moved->string();
  } else {
    why = why.withUnderlying(moved.error());
  }
  std::fprintf(stderr, "lumora: %s cannot be read (%s); %s\n", file.c_str(), why.description().c_str(),
               movedAside ? ("moved to " + moved->string() + ", starting empty").c_str()
                          : "it could not be moved aside and is left untouched");
  return why;
}

}  // namespace platform::plist
