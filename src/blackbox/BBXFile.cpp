#include "blackbox/BBXFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "blackbox/BBXAllocator.h"
#include "platform/Utf8.h"
#include "platform/JsonParse.h"

namespace lumora {
namespace {

// Records nest a few levels (a section, a thread, its registers); a line
// deeper than this is no record.
constexpr std::size_t kBBXMaxRecordDepth = 16;

void bbxFileFlush(BBXFile* file) {
  if (file->bufferFill == 0) return;
  file->bytesWritten += BBXSafeWrite(file->fd, file->buffer, file->bufferFill);
  file->bufferFill = 0;
  file->buffer[0] = '\0';
}

// Every byte of a record goes through here.
void bbxFileWrite(BBXFile* file, const char* data, std::size_t length) {
  if (file == nullptr || file->fd < 0 || length == 0 || file->full) return;
  if (file->bytesWritten + file->bufferFill + length > kBBXMaxRecordFileBytes) {
    file->full = true;
    BBXSDKLog("%s: Error: the record file is at its bound\n", "BBXFileWrite");
    return;
  }
  if (!file->buffered || file->buffer == nullptr) {
    file->bytesWritten += BBXSafeWrite(file->fd, data, length);
    return;
  }
  while (file->bufferFill + length >= kBBXFileBufferSize) {
    const std::size_t room = kBBXFileBufferSize - 1 - file->bufferFill;
    std::memcpy(file->buffer + file->bufferFill, data, room);
    file->bufferFill += room;
    data += room;
    length -= room;
    bbxFileFlush(file);
  }
  std::memcpy(file->buffer + file->bufferFill, data, length);
  file->bufferFill += length;
  file->buffer[file->bufferFill] = '\0';
}

void bbxFileWriteText(BBXFile* file, const char* text) { bbxFileWrite(file, text, std::strlen(text)); }

void bbxFileWriteCommaIfNeeded(BBXFile* file) {
  if (file->needsComma) bbxFileWrite(file, ",", 1);
}

void bbxFileOpen(BBXFile* file, char bracket) {
  char piece[2] = {',', bracket};
  if (file->needsComma) {
    bbxFileWrite(file, piece, 2);
  } else {
    bbxFileWrite(file, piece + 1, 1);
  }
  ++file->depth;
  file->needsComma = false;
}

void bbxFileClose(BBXFile* file, char bracket) {
  bbxFileWrite(file, &bracket, 1);
  --file->depth;
  file->needsComma = file->depth >= 1;
}

void bbxFileWriteUnsigned(BBXFile* file, std::uint64_t value) {
  char digits[21];
  bbxFileWrite(file, digits, BBXFormatUnsigned(value, 10, digits));
}

void bbxFileWriteSigned(BBXFile* file, std::int64_t value) {
  if (value < 0) bbxFileWrite(file, "-", 1);
  bbxFileWriteUnsigned(file, value < 0 ? 0u - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value));
}

// The bytes as the inside of a JSON string: quotes, backslashes and control
// bytes escaped, well-formed UTF-8 kept as it is, and every byte that is no
// part of a well-formed character (a name cut mid-character, a Latin-1
// path) written as U+FFFD, so that the line stays JSON that any reader
// takes. Gathered in a small scratch area so that a short text goes out in
// one write.
void bbxFileWriteEscaped(BBXFile* file, const char* data, std::size_t length) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  const std::string_view text(data, length);
  char scratch[64];
  std::size_t fill = 0;
  for (std::size_t i = 0; i < length;) {
    if (fill > sizeof(scratch) - 6) {
      bbxFileWrite(file, scratch, fill);
      fill = 0;
    }
    const auto byte = static_cast<unsigned char>(data[i]);
    if (byte == '"' || byte == '\\') {
      scratch[fill++] = '\\';
      scratch[fill++] = static_cast<char>(byte);
      ++i;
    } else if (byte < 0x20) {
      std::memcpy(scratch + fill, "\\u00", 4);
      BBXHexEncodeByte(byte, scratch + fill + 4);
      fill += 6;
      ++i;
    } else if (byte < 0x80) {
      scratch[fill++] = static_cast<char>(byte);
      ++i;
    } else if (const std::size_t character = platform::utf8SequenceLength(text, i); character != 0) {
      std::memcpy(scratch + fill, data + i, character);
      fill += character;
      i += character;
    } else {
      std::memcpy(scratch + fill, kReplacement, 3);
      fill += 3;
      ++i;
    }
  }
  bbxFileWrite(file, scratch, fill);
}

void bbxFileWriteQuoted(BBXFile* file, const char* data, std::size_t length) {
  bbxFileWrite(file, "\"", 1);
  bbxFileWriteEscaped(file, data, length);
  bbxFileWrite(file, "\"", 1);
}

void bbxFileWriteQuoted(BBXFile* file, const char* text) {
  if (text == nullptr) {
    bbxFileWrite(file, "null", 4);
  } else {
    const std::string_view whole(text, strnlen(text, kBBXMaxRecordedTextBytes + 1));
    bbxFileWriteQuoted(file, text, platform::utf8CharacterBoundary(whole, kBBXMaxRecordedTextBytes));
  }
}

void bbxFileWriteHex(BBXFile* file, const char* text) {
  if (text == nullptr) {
    bbxFileWrite(file, "null", 4);
    return;
  }
  bbxFileWrite(file, "\"", 1);
  char digits[2 * 16 + 1];
  for (std::size_t left = strnlen(text, kBBXMaxRecordedTextBytes); left > 0;) {
    const std::size_t chunk = left < 16 ? left : 16;
    BBXHexEncode(text, chunk, digits);
    bbxFileWrite(file, digits, 2 * chunk);
    text += chunk;
    left -= chunk;
  }
  bbxFileWrite(file, "\"", 1);
}

void bbxFileWriteKey(BBXFile* file, const char* key) {
  const std::size_t length = std::strlen(key);
  char scratch[64];
  if (length + 3 <= sizeof(scratch)) {
    scratch[0] = '"';
    std::memcpy(scratch + 1, key, length);
    std::memcpy(scratch + 1 + length, "\":", 2);
    bbxFileWrite(file, scratch, length + 3);
  } else {
    bbxFileWrite(file, "\"", 1);
    bbxFileWrite(file, key, length);
    bbxFileWrite(file, "\":", 2);
  }
}

}  // namespace

bool BBXFileInitWithPathMode(BBXFile* file, const char* path, bool append, bool buffered) {
  if (file == nullptr) {
    BBXSDKLog("%s: Error: file is null\n", __func__);
    return false;
  }
  *file = BBXFile{};
  if (path != nullptr) {
    // A record file of the kit's own only: a symbolic link or a pipe at its
    // name is refused, never written through, emptied or waited on; a file
    // with a second name is replaced by one of this name alone first.
    const int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
    do {
      file->fd = platform::openOwnFile(path, flags, 0644);
    } while (file->fd < 0 && errno == EINTR);
    if (file->fd < 0) BBXSDKLog("%s: Error: Unable to open file %s\n", "BBXFileInit", strerror(errno));
  }
  if (file->fd < 0) {
    BBXSDKLog("%s: Error: file descriptor invalid\n", "BBXFileInit");
    return false;
  }
  if (append) {
    struct stat info {};
    if (fstat(file->fd, &info) == 0 && info.st_size >= 1) file->bytesWritten = static_cast<std::uint64_t>(info.st_size);
  }
  if (buffered) {
    file->buffered = true;
    file->buffer = static_cast<char*>(std::malloc(kBBXFileBufferSize));
    if (file->buffer != nullptr) file->buffer[0] = '\0';
  }
  return true;
}

bool BBXFileInitWithPath(BBXFile* file, const char* path, bool buffered) {
  return BBXFileInitWithPathMode(file, path, true, buffered);
}

bool BBXFileCloseWithOffset(BBXFile* file, std::uint64_t* size) {
  if (file == nullptr) return false;
  if (file->buffer != nullptr) {
    bbxFileFlush(file);
    std::free(file->buffer);
    file->buffer = nullptr;
  }
  if (size != nullptr) *size = file->bytesWritten;
  if (file->fd >= 0 && close(file->fd) != 0 && errno != EINTR) {
    BBXSDKLog("%s: Error: Unable to close file %s\n", __func__, strerror(errno));
    return false;
  }
  *file = BBXFile{};
  return true;
}

bool BBXFileClose(BBXFile* file) { return BBXFileCloseWithOffset(file, nullptr); }

bool BBXFileIsOpen(const BBXFile* file) { return file != nullptr && file->fd >= 0; }

void BBXFileWriteSectionStart(BBXFile* file, const char* name) {
  bbxFileOpen(file, '{');
  bbxFileWriteKey(file, name);
}

void BBXFileWriteSectionEnd(BBXFile* file) {
  bbxFileClose(file, '}');
  bbxFileWrite(file, "\n", 1);
}

void BBXFileWriteHashStart(BBXFile* file) { bbxFileOpen(file, '{'); }
void BBXFileWriteHashEnd(BBXFile* file) { bbxFileClose(file, '}'); }
void BBXFileWriteArrayStart(BBXFile* file) { bbxFileOpen(file, '['); }
void BBXFileWriteArrayEnd(BBXFile* file) { bbxFileClose(file, ']'); }

void BBXFileWriteHashKey(BBXFile* file, const char* key) {
  bbxFileWriteCommaIfNeeded(file);
  bbxFileWriteKey(file, key);
  file->needsComma = false;
}

void BBXFileWriteHashEntryUint64(BBXFile* file, const char* key, std::uint64_t value) {
  BBXFileWriteHashKey(file, key);
  bbxFileWriteUnsigned(file, value);
  file->needsComma = true;
}

void BBXFileWriteHashEntryInt64(BBXFile* file, const char* key, std::int64_t value) {
  BBXFileWriteHashKey(file, key);
  bbxFileWriteSigned(file, value);
  file->needsComma = true;
}

void BBXFileWriteHashEntryString(BBXFile* file, const char* key, const char* text) {
  BBXFileWriteHashKey(file, key);
  bbxFileWriteQuoted(file, text);
  file->needsComma = true;
}

void BBXFileWriteHashEntryNSString(BBXFile* file, const char* key, std::string_view text) {
  if (text.empty()) return;
  BBXFileWriteHashKey(file, key);
  bbxFileWriteQuoted(file, text.data(), platform::utf8CharacterBoundary(text, kBBXMaxRecordedTextBytes));
  file->needsComma = true;
}

void BBXFileWriteHashEntryHexEncodedString(BBXFile* file, const char* key, const char* text) {
  BBXFileWriteHashKey(file, key);
  bbxFileWriteHex(file, text);
  file->needsComma = true;
}

void BBXFileWriteHashEntryBoolean(BBXFile* file, const char* key, bool value) {
  BBXFileWriteHashKey(file, key);
  bbxFileWriteText(file, value ? "true" : "false");
  file->needsComma = true;
}

void BBXFileWriteArrayEntryUint64(BBXFile* file, std::uint64_t value) {
  bbxFileWriteCommaIfNeeded(file);
  bbxFileWriteUnsigned(file, value);
  file->needsComma = true;
}

void BBXFileWriteArrayEntryString(BBXFile* file, const char* text) {
  bbxFileWriteCommaIfNeeded(file);
  bbxFileWriteQuoted(file, text);
  file->needsComma = true;
}

void BBXFileWriteArrayEntryHexEncodedString(BBXFile* file, const char* text) {
  bbxFileWriteCommaIfNeeded(file);
  bbxFileWriteHex(file, text);
  file->needsComma = true;
}

std::optional<std::string> BBXFileReadBounded(const char* path, std::uint64_t limit, BBXFileReadProblem* problem) {
  if (path == nullptr) {
    if (problem != nullptr) *problem = BBXFileReadProblem::Missing;
    return std::nullopt;
  }
  return platform::readOwnFile(path, limit, problem);
}

namespace {

// Calls `visit` with each line of a record file and what it parses to (not
// an object when it is no section).
template <typename Visit>
void bbxEachRecordLine(std::string_view bytes, Visit visit) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    visit(line, platform::parseJson(line, kBBXMaxRecordDepth));
  }
}

}  // namespace

std::vector<nlohmann::json> BBXFileParseSections(std::string_view bytes, const BBXSectionTransform& transform) {
  std::vector<nlohmann::json> sections;
  bbxEachRecordLine(bytes, [&](std::string_view, nlohmann::json section) {
    if (!section.is_object()) return;
    if (!transform) {
      sections.push_back(std::move(section));
    } else if (auto changed = transform(std::move(section))) {
      sections.push_back(std::move(*changed));
    }
  });
  return sections;
}

std::string BBXFileReadableLines(std::string_view bytes, std::size_t* dropped) {
  std::string kept;
  std::size_t left = 0;
  bbxEachRecordLine(bytes, [&](std::string_view line, const nlohmann::json& section) {
    if (!section.is_object()) {
      left += !line.empty();
      return;
    }
    kept.append(line);
    kept.push_back('\n');
  });
  if (dropped != nullptr) *dropped = left;
  return kept;
}

std::optional<std::vector<nlohmann::json>> BBXFileReadSections(const char* path, bool deleteIfUnreadable,
                                                               const BBXSectionTransform& transform,
                                                               BBXFileReadProblem* problem) {
  if (problem != nullptr) *problem = BBXFileReadProblem::Missing;
  if (path == nullptr) return std::nullopt;
  auto bytes = BBXFileReadBounded(path, kBBXMaxRecordFileBytes, problem);
  if (!bytes) {
    if (deleteIfUnreadable) BBXUnlinkIfExists(path);
    BBXSDKLog("%s: Unable to read file %s\n", __func__, path);
    return std::nullopt;
  }
  return BBXFileParseSections(*bytes, transform);
}

}  // namespace lumora
