#include "cloud/request/LMStringEncoding.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>

#include "platform/Bytes.h"

namespace lumora {
namespace {

constexpr std::array<std::pair<LMStringEncoding, const char*>, 5> kEncodings{{
    {kLMUTF8StringEncoding, "utf-8"},
    {kLMASCIIStringEncoding, "us-ascii"},
    {kLMISOLatin1StringEncoding, "iso-8859-1"},
    {kLMWindowsCP1252StringEncoding, "windows-1252"},
    {kLMUTF16StringEncoding, "utf-16"},
}};

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

// A converter that stops at the first unmappable or malformed sequence.
Converter openStrict(const char* name) {
  UErrorCode status = U_ZERO_ERROR;
  Converter converter(ucnv_open(name, &status));
  if (U_FAILURE(status)) return nullptr;
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
  if (U_FAILURE(status)) return nullptr;
  return converter;
}

// ICU counts in 32 bits: a longer text is not converted.
bool fitsICU(std::size_t size) { return size <= static_cast<std::size_t>(INT32_MAX); }

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
  if (!fitsICU(text.size())) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::u16string out(static_cast<std::size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  return out;
}

std::optional<std::string> utf16ToUtf8(const std::u16string& text) {
  if (!fitsICU(text.size())) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strToUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::string out(static_cast<std::size_t>(length), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> LMIANACharsetName(LMStringEncoding encoding) {
  for (const auto& [value, name] : kEncodings) {
    if (value == encoding) return std::string(name);
  }
  return std::nullopt;
}

std::optional<LMStringEncoding> LMStringEncodingFromIANAName(std::string_view name) {
  if (name.empty()) return std::nullopt;
  // The names of the table itself need no converter.
  for (const auto& [value, iana] : kEncodings) {
    if (platform::equalsIgnoringCase(name, iana)) return value;
  }
  std::string text(name);
  Converter wanted = openStrict(text.c_str());
  if (!wanted) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const char* canonical = ucnv_getName(wanted.get(), &status);
  if (U_FAILURE(status)) return std::nullopt;
  for (const auto& [value, iana] : kEncodings) {
    Converter known = openStrict(iana);
    if (!known) continue;
    status = U_ZERO_ERROR;
    const char* knownName = ucnv_getName(known.get(), &status);
    if (U_SUCCESS(status) && std::strcmp(knownName, canonical) == 0) return value;
  }
  return std::nullopt;
}

std::optional<std::string> LMDecodeText(const platform::Bytes& bytes, LMStringEncoding encoding) {
  if (encoding == kLMUTF8StringEncoding) {
    std::string text = platform::toString(bytes);
    if (!platform::isValidUtf8(text)) return std::nullopt;
    return text;
  }
  auto name = LMIANACharsetName(encoding);
  if (!name) return std::nullopt;
  Converter converter = openStrict(name->c_str());
  if (!converter) return std::nullopt;
  if (bytes.empty()) return std::string();
  if (!fitsICU(bytes.size())) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const char* source = reinterpret_cast<const char*>(bytes.data());
  int32_t length = ucnv_toUChars(converter.get(), nullptr, 0, source,
                                 static_cast<int32_t>(bytes.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::u16string utf16(static_cast<std::size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  ucnv_resetToUnicode(converter.get());
  ucnv_toUChars(converter.get(), utf16.data(), length, source, static_cast<int32_t>(bytes.size()),
                &status);
  if (U_FAILURE(status)) return std::nullopt;
  return utf16ToUtf8(utf16);
}

std::optional<platform::Bytes> LMEncodeText(std::string_view text, LMStringEncoding encoding) {
  if (encoding == kLMUTF8StringEncoding) {
    if (!platform::isValidUtf8(text)) return std::nullopt;
    return platform::toBytes(text);
  }
  auto name = LMIANACharsetName(encoding);
  if (!name) return std::nullopt;
  Converter converter = openStrict(name->c_str());
  if (!converter) return std::nullopt;
  auto utf16 = utf8ToUtf16(text);
  if (!utf16) return std::nullopt;
  if (utf16->empty()) return platform::Bytes();
  if (!fitsICU(utf16->size())) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = ucnv_fromUChars(converter.get(), nullptr, 0, utf16->data(),
                                   static_cast<int32_t>(utf16->size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  platform::Bytes out(static_cast<std::size_t>(length));
  status = U_ZERO_ERROR;
  ucnv_resetFromUnicode(converter.get());
  ucnv_fromUChars(converter.get(), reinterpret_cast<char*>(out.data()), length, utf16->data(),
                  static_cast<int32_t>(utf16->size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  return out;
}

}  // namespace lumora
