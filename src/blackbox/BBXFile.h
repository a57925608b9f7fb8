// Record files (".bbxrecord"): one JSON object per line, each with a single
// member, the section, whose value is an object or an array:
//
//   {"signal":{"number":11,"name":"SIGSEGV","code_name":null}}
//
// The writer works inside a signal handler: it uses only open, write, fstat
// and close, formats numbers itself and allocates only when a buffered file
// is opened (never done at crash time). Text from the system itself is
// written as a quoted JSON string (escaped: ", \ and control bytes; each
// byte that is no part of well-formed UTF-8, as in a thread name the kernel
// cut mid-character or a Latin-1 path, becomes U+FFFD); text
// from users, exceptions or other processes as a hex string (two lower-case
// digits per byte), which readers decode per key. A null text is `null`.
//
// What capture writes is bounded so that every record fits the report
// service's limits: a text field holds at most kBBXMaxRecordedTextBytes of
// its text (the rest is cut, a quoted text between characters), and a file
// takes no byte past kBBXMaxRecordFileBytes (the line under way is cut
// there and nothing more is written). The largest record by construction,
// a crash record of kBBXThreadSlotCount threads of kBBXMaxUnwindFrames
// frames each with their registers and names, stays under 3.5 MiB. Readers
// at a later launch take no more than that bound from a file, and only from
// a regular file: never through a symbolic link, never from a device or a
// pipe.
//
// Ownership: a BBXFile is a plain structure owned by its caller (a stack
// frame, or the writable crash context). Threading: one thread at a time per
// file; unbuffered files are async-signal-safe. Failure: opening reports
// false and logs; a write error never stops a record (the line may be cut
// short, and readers skip lines that do not parse).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/storage/OwnFile.h"

namespace lumora {

inline constexpr std::size_t kBBXFileBufferSize = 1000;
inline constexpr std::uint64_t kBBXMaxRecordFileBytes = std::uint64_t{4} << 20;
inline constexpr std::size_t kBBXMaxRecordedTextBytes = 8 * 1024;

struct BBXFile {
  int fd = -1;
  std::int32_t depth = 0;
  bool needsComma = false;
  bool buffered = false;
  char* buffer = nullptr;
  std::uint64_t bufferFill = 0;
  std::uint64_t bytesWritten = 0;  // size at open (append) plus all written since
  bool full = false;               // reached kBBXMaxRecordFileBytes: takes nothing more
};

// Opens `path` (O_APPEND when `append`, else O_TRUNC; created 0644) as a
// file of the kit's own (platform::openOwnFile): a symbolic link, a pipe or
// a device at `path` fails the open, and a file with a second name is first
// replaced by one of this name alone (holding its bytes in append mode). In
// append mode the file's current size starts the bytes-written count.
bool BBXFileInitWithPathMode(BBXFile* file, const char* path, bool append, bool buffered);
// Append mode.
bool BBXFileInitWithPath(BBXFile* file, const char* path, bool buffered);
// Flushes, frees the buffer, reports the bytes-written count through
// `size` (optional) and closes; the structure is reset to a closed file.
bool BBXFileCloseWithOffset(BBXFile* file, std::uint64_t* size);
bool BBXFileClose(BBXFile* file);
bool BBXFileIsOpen(const BBXFile* file);

void BBXFileWriteSectionStart(BBXFile* file, const char* name);
void BBXFileWriteSectionEnd(BBXFile* file);
void BBXFileWriteHashStart(BBXFile* file);
void BBXFileWriteHashEnd(BBXFile* file);
void BBXFileWriteHashKey(BBXFile* file, const char* key);
void BBXFileWriteHashEntryUint64(BBXFile* file, const char* key, std::uint64_t value);
void BBXFileWriteHashEntryInt64(BBXFile* file, const char* key, std::int64_t value);
void BBXFileWriteHashEntryString(BBXFile* file, const char* key, const char* text);
// Writes nothing at all for an empty text.
void BBXFileWriteHashEntryNSString(BBXFile* file, const char* key, std::string_view text);
void BBXFileWriteHashEntryHexEncodedString(BBXFile* file, const char* key, const char* text);
void BBXFileWriteHashEntryBoolean(BBXFile* file, const char* key, bool value);
void BBXFileWriteArrayStart(BBXFile* file);
void BBXFileWriteArrayEnd(BBXFile* file);
void BBXFileWriteArrayEntryUint64(BBXFile* file, std::uint64_t value);
void BBXFileWriteArrayEntryString(BBXFile* file, const char* text);
void BBXFileWriteArrayEntryHexEncodedString(BBXFile* file, const char* text);

// Why a file cannot be read as a report file: the kit reads its files as
// files of its own (platform/storage/OwnFile.h).
using BBXFileReadProblem = platform::OwnFileProblem;

// Every line of the file that parses to a JSON object, in order (others are
// skipped, and so are lines nested deeper than a record ever is), each
// passed through `transform` when given (nullopt drops it). nullopt when the
// file cannot be read as BBXFileReadBounded reads it (deleted first when
// `deleteIfUnreadable`; `problem`, optional, says why) or the path is null.
// Ordinary code: it allocates.
using BBXSectionTransform = std::function<std::optional<nlohmann::json>(nlohmann::json)>;
std::optional<std::vector<nlohmann::json>> BBXFileReadSections(const char* path, bool deleteIfUnreadable,
                                                               const BBXSectionTransform& transform = {},
                                                               BBXFileReadProblem* problem = nullptr);
// The same over the bytes of a record file.
std::vector<nlohmann::json> BBXFileParseSections(std::string_view bytes, const BBXSectionTransform& transform = {});
// The bytes of a record file less every line that a reader skips (one that
// does not parse to an object, an empty one, one cut off); each line kept
// ends in a newline. `dropped` (optional) counts the non-empty lines left
// out.
std::string BBXFileReadableLines(std::string_view bytes, std::size_t* dropped = nullptr);

// The whole of the report file at `path` when it holds at most `limit`
// bytes, read as platform::readOwnFile reads: never through a symbolic
// link, never from a device or a pipe, never blocking. `problem`
// (optional) says why nothing came back; for Unreadable and Refused (an
// open, stat or read that failed) errno tells the failure.
std::optional<std::string> BBXFileReadBounded(const char* path, std::uint64_t limit,
                                              BBXFileReadProblem* problem = nullptr);

}  // namespace lumora
