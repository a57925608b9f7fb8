// Property-list helpers shared by everything kept in plist files (user
// defaults, keychain, keyed archives): an owning handle over libplist nodes,
// node readers, conversions between plist trees and JSON, dates, and atomic
// file I/O.
//
// Nothing here keeps state; every function may be called from any thread.
// Failures come back as nullptr / nullopt or as Error values in
// "NSCocoaErrorDomain" with the platform's file and property-list codes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <plist/plist.h>
#include <sys/types.h>

#include "platform/Bytes.h"
#include "platform/dispatch/Clock.h"
#include "platform/Error.h"
#include "platform/Result.h"

namespace platform::plist {

constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
constexpr const char* kFilePathKey = "NSFilePath";
// Codes of the phone platform's file and property-list errors.
constexpr std::int64_t kFileReadNoSuchFile = 260;
constexpr std::int64_t kFileReadUnknown = 256;
constexpr std::int64_t kFileReadNoPermission = 257;
constexpr std::int64_t kFileWriteUnknown = 512;
constexpr std::int64_t kFileWriteNoPermission = 513;
constexpr std::int64_t kPropertyListReadCorrupt = 3840;

struct NodeDeleter {
  void operator()(void* node) const {
    if (node) plist_free(static_cast<plist_t>(node));
  }
};
// Owns a root node (and with it the whole tree below).
using Node = std::unique_ptr<void, NodeDeleter>;

// A string node, or nullptr when the text is not valid UTF-8 or holds a NUL
// (libplist takes C strings and would cut it short).
plist_t newString(const std::string& text);
bool storableString(const std::string& text);
std::string stringValue(plist_t node);
Bytes dataValue(plist_t node);
// libplist keeps integers as 64-bit patterns; they are read back as signed.
std::int64_t integerValue(plist_t node);
// Calls `visit` with each key and value of a dictionary node, in order.
void forEachEntry(plist_t dict, const std::function<void(const char* key, plist_t value)>& visit);

// Dates are kept to the microsecond and must fall within libplist's date
// range (32-bit seconds around 2001-01-01: December 1932 to January 2069).
bool dateInRange(Clock::TimePoint date);
Clock::TimePoint truncatedToMilliseconds(Clock::TimePoint date);
// nullptr when out of range.
plist_t newDate(Clock::TimePoint date);
// The date of a date node, to the microsecond as stored, rounded to
// `resolution`. (libplist's own reading cuts the fraction short by up to a
// microsecond and drops its sign for a date less than one second before
// 2001-01-01; it is used only for a node whose stored form is unexpected.)
Clock::TimePoint dateValue(plist_t node,
                           std::chrono::microseconds resolution = std::chrono::milliseconds(1));
// "2020-01-01T00:00:00Z" (with ".123" when the date has milliseconds).
std::string isoDateText(Clock::TimePoint date);

// The JSON form of a plist tree: strings, integers, reals, booleans, arrays
// and objects as themselves; data as a JSON binary value; dates as their ISO
// 8601 text (JSON has no date type).
Json toJson(plist_t node);
// True when the JSON tree can be written as a plist: no null anywhere, no
// unsigned value beyond the signed 64-bit range, storable strings and keys.
bool storableJson(const Json& json);
// The plist tree of a JSON tree; nullptr when it is not storable.
Node fromJson(const Json& json);
// The same tree with unsigned integers turned signed, so values compare the
// same before and after a round trip through a file. Expects a storable tree.
Json normalizedJson(const Json& json);

// Parses a binary or XML property list; nullptr when the bytes are not one,
// or are one the library could not read safely (see safeToParse).
Node parse(const Bytes& bytes);
// Whether the library can be handed `bytes`: a binary list must be whole and
// consistent (offsets, references, no container holding itself, keys that
// are strings) with no string holding a NUL or, for ASCII strings, a byte
// past 7 bits; an XML list must be UTF-8 with no NUL, written or as a
// character reference.
bool safeToParse(const Bytes& bytes);
Bytes toBinary(plist_t root);
Bytes toXml(plist_t root);

// Reads a whole file. Errors: kFileReadNoSuchFile when absent,
// kFileReadNoPermission, kFileReadUnknown otherwise.
Result<Bytes> readFile(const std::filesystem::path& file);

// The most a store file of the program's own is read to (far past any that
// it writes).
constexpr std::uint64_t kStoredFileLimit = 64ull << 20;

// Reads a whole file the program stored itself, as platform::readOwnFile
// reads it: a symbolic link, a pipe, a device or a folder at its name is
// never read through nor waited on (a second name of the file is read). Errors as readFile's; such a thing at
// the name, or a file past `limit` bytes, is kFileReadUnknown (unreadable).
Result<Bytes> readStoredFile(const std::filesystem::path& file, std::uint64_t limit = kStoredFileLimit);

// Writes through a temporary file in the same folder that is flushed to disk
// and then renamed over `file`, so readers see the old or the new content,
// never a mix. The folder is created when missing. The new file gets `mode`.
Status writeFileAtomically(const std::filesystem::path& file, const Bytes& bytes, mode_t mode);

// Renames `file` to "<file>.corrupt" (or "<file>.corrupt.N" when that name is
// taken) and returns the new path.
Result<std::filesystem::path> moveAside(const std::filesystem::path& file);

// For a file that exists but cannot be read or parsed: moves it aside (kept
// for inspection) and writes one line about it to standard error. Returns
// `why` with the new path under "movedTo", or with the failure to move it as
// its underlying error (the file is then still in the way).
Error setAsideUnreadable(const std::filesystem::path& file, Error why, bool& movedAside);

}  // namespace platform::plist
