// Base64 of the cloud wire format (declared in AESCrypt.h and Base64.h).
//
// Both directions have a plain table-driven core and, on x86-64 processors
// with SSSE3 (chosen at run time), a vector core for runs of 12 bytes / 16
// characters. The decoder's vector and four-character paths only take groups
// made of alphabet characters alone; anything else (line breaks, foreign
// characters, "=") goes through the character-by-character rules.
#include "utils/Base64.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "utils/AESCrypt.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define LUMORA_BASE64_SSSE3 1
#endif

namespace lumora {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::int8_t kSkip = -1;
constexpr std::int8_t kEnd = -2;

// Sextet value of each byte; kSkip for bytes outside the alphabet, kEnd for
// the padding character.
constexpr std::array<std::int8_t, 256> makeDecodeTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = kSkip;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  table['='] = kEnd;
  return table;
}

constexpr auto kDecode = makeDecodeTable();

// The sextet of each byte moved to its place in a 24-bit group (first
// character highest); bytes outside the alphabet carry kInvalid instead.
constexpr std::uint32_t kInvalid = 0x01000000;

constexpr std::array<std::uint32_t, 256> makeShiftedTable(int shift) {
  std::array<std::uint32_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const std::int8_t value = kDecode[static_cast<std::size_t>(c)];
    table[static_cast<std::size_t>(c)] =
        value < 0 ? kInvalid : static_cast<std::uint32_t>(value) << shift;
  }
  return table;
}

constexpr auto kDecode0 = makeShiftedTable(18);
constexpr auto kDecode1 = makeShiftedTable(12);
constexpr auto kDecode2 = makeShiftedTable(6);
constexpr auto kDecode3 = makeShiftedTable(0);

// Two characters for each 12-bit value.
struct PairTable {
  char pairs[4096][2];
};
constexpr PairTable makePairTable() {
  PairTable table{};
  for (int v = 0; v < 4096; ++v) {
    table.pairs[v][0] = kAlphabet[v >> 6];
    table.pairs[v][1] = kAlphabet[v & 0x3F];
  }
  return table;
}
constexpr PairTable kPairs = makePairTable();

bool isAscii(const char* text, std::size_t size) {
  std::size_t i = 0;
  std::uint64_t high = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + i, 8);
    high |= word;
  }
  for (; i < size; ++i) high |= static_cast<unsigned char>(text[i]);
  return (high & 0x8080808080808080ull) == 0;
}

#ifdef LUMORA_BASE64_SSSE3

bool hasSSSE3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}

// Encodes whole runs of 12 bytes while 16 can be read; returns the bytes
// consumed (a multiple of 3).
__attribute__((target("ssse3"))) std::size_t encodeVector(const std::uint8_t* in, std::size_t size,
                                                         char* out) {
  std::size_t done = 0;
  const __m128i shuffle = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  const __m128i shiftLUT = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                         '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62,
                                         '/' - 63, 'A', 0, 0);
  for (; done + 16 <= size; done += 12, out += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
    v = _mm_shuffle_epi8(v, shuffle);
    // Spread each group's four sextets over the four bytes of its lane.
    const __m128i t0 = _mm_and_si128(v, _mm_set1_epi32(0x0fc0fc00));
    const __m128i t1 = _mm_mulhi_epu16(t0, _mm_set1_epi32(0x04000040));
    const __m128i t2 = _mm_and_si128(v, _mm_set1_epi32(0x003f03f0));
    const __m128i t3 = _mm_mullo_epi16(t2, _mm_set1_epi32(0x01000010));
    const __m128i sextets = _mm_or_si128(t1, t3);
    // Sextet -> character: pick the offset of its range and add it.
    __m128i range = _mm_subs_epu8(sextets, _mm_set1_epi8(51));
    const __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), sextets);
    range = _mm_or_si128(range, _mm_and_si128(upper, _mm_set1_epi8(13)));
    const __m128i chars = _mm_add_epi8(_mm_shuffle_epi8(shiftLUT, range), sextets);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chars);
  }
  return done;
}

// Decodes runs of 16 alphabet characters into 12 bytes each, writing 16 bytes
// per run (the caller leaves 4 bytes of slack). Stops before the first run
// holding anything else; returns the characters consumed.
__attribute__((target("ssse3"))) std::size_t decodeVector(const char* in, std::size_t size,
                                                         std::uint8_t* out) {
  std::size_t done = 0;
  const __m128i pack = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  auto between = [](__m128i v, char lo, char hi) {
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                         _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(hi + 1))));
  };
  for (; done + 16 <= size; done += 16, out += 12) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
    const __m128i upper = between(v, 'A', 'Z');
    const __m128i lower = between(v, 'a', 'z');
    const __m128i digit = between(v, '0', '9');
    const __m128i plus = _mm_cmpeq_epi8(v, _mm_set1_epi8('+'));
    const __m128i slash = _mm_cmpeq_epi8(v, _mm_set1_epi8('/'));
    const __m128i valid = _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(digit, _mm_or_si128(plus, slash)));
    if (_mm_movemask_epi8(valid) != 0xFFFF) break;
    __m128i shift = _mm_and_si128(upper, _mm_set1_epi8(-65));
    shift = _mm_or_si128(shift, _mm_and_si128(lower, _mm_set1_epi8(-71)));
    shift = _mm_or_si128(shift, _mm_and_si128(digit, _mm_set1_epi8(4)));
    shift = _mm_or_si128(shift, _mm_and_si128(plus, _mm_set1_epi8(19)));
    shift = _mm_or_si128(shift, _mm_and_si128(slash, _mm_set1_epi8(16)));
    const __m128i sextets = _mm_add_epi8(v, shift);
    // Join sextet pairs into 12-bit values, then pairs of those into 24 bits.
    const __m128i pairs = _mm_maddubs_epi16(sextets, _mm_set1_epi32(0x01400140));
    const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(groups, pack));
  }
  return done;
}

#endif  // LUMORA_BASE64_SSSE3

}  // namespace

void base64Encode(const std::uint8_t* data, std::size_t size, char* out) {
  std::size_t i = 0;
#ifdef LUMORA_BASE64_SSSE3
  if (hasSSSE3()) {
    i = encodeVector(data, size, out);
    out += i / 3 * 4;
  }
#endif
  for (; i + 3 <= size; i += 3, out += 4) {
    const std::uint32_t group = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
    std::memcpy(out, kPairs.pairs[group >> 12], 2);
    std::memcpy(out + 2, kPairs.pairs[group & 0xFFF], 2);
  }
  const std::size_t left = size - i;
  if (left == 0) return;
  const std::uint32_t b0 = data[i];
  const std::uint32_t b1 = left > 1 ? data[i + 1] : 0;
  out[0] = kAlphabet[b0 >> 2];
  out[1] = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
  out[2] = left > 1 ? kAlphabet[(b1 & 0x0F) << 2] : '=';
  out[3] = '=';
}

std::string base64Encoding(const platform::Bytes& data) {
  return base64EncodingWithLineLength(data, 0);
}

std::string base64EncodingWithLineLength(const platform::Bytes& data, std::size_t lineLength) {
  const std::size_t groups = (data.size() + 2) / 3;
  if (lineLength == 0) {
    std::string out(groups * 4, '\0');
    base64Encode(data.data(), data.size(), out.data());
    return out;
  }
  // A line holds lineLength rounded up to whole groups; every line that is
  // full (the last one too) ends in "\n".
  const std::size_t groupsPerLine = (lineLength + 3) / 4;
  const std::size_t bytesPerLine = groupsPerLine * 3;
  std::string out(groups * 4 + groups / groupsPerLine, '\0');
  char* w = out.data();
  for (std::size_t i = 0; i < data.size(); i += bytesPerLine) {
    const std::size_t take = std::min(bytesPerLine, data.size() - i);
    base64Encode(data.data() + i, take, w);
    w += base64EncodedLength(take);
    if ((take + 2) / 3 == groupsPerLine) *w++ = '\n';
  }
  return out;
}

platform::Bytes dataWithBase64EncodedString(std::string_view text) {
  if (!isAscii(text.data(), text.size())) return {};
  // Every 4 characters give at most 3 bytes; 16 bytes of slack for the
  // vector stores.
  platform::Bytes out(text.size() / 4 * 3 + 16);
  std::uint8_t* w = out.data();
  const char* in = text.data();
  const std::size_t size = text.size();
  std::size_t i = 0;
  std::uint8_t sextets[4] = {0, 0, 0, 0};
  int pending = 0;
  while (i < size) {
    if (pending == 0) {
#ifdef LUMORA_BASE64_SSSE3
      if (hasSSSE3()) {
        const std::size_t done = decodeVector(in + i, size - i, w);
        i += done;
        w += done / 4 * 3;
      }
#endif
      for (; i + 4 <= size; i += 4, w += 3) {
        const std::uint32_t group = kDecode0[static_cast<unsigned char>(in[i])] |
                                    kDecode1[static_cast<unsigned char>(in[i + 1])] |
                                    kDecode2[static_cast<unsigned char>(in[i + 2])] |
                                    kDecode3[static_cast<unsigned char>(in[i + 3])];
        if (group & kInvalid) break;
        w[0] = static_cast<std::uint8_t>(group >> 16);
        w[1] = static_cast<std::uint8_t>(group >> 8);
        w[2] = static_cast<std::uint8_t>(group);
      }
      if (i == size) break;
    }
    const std::int8_t value = kDecode[static_cast<unsigned char>(in[i++])];
    if (value == kSkip) continue;
    if (value == kEnd) {
      // Padding ends the text: three pending sextets carry two bytes, one or
      // two carry one (a lone sextet is read with zero low bits).
      if (pending == 0) break;
      for (int k = pending; k < 4; ++k) sextets[k] = 0;
      *w++ = static_cast<std::uint8_t>((sextets[0] << 2) | (sextets[1] >> 4));
      if (pending == 3) *w++ = static_cast<std::uint8_t>(((sextets[1] & 0x0F) << 4) | (sextets[2] >> 2));
      break;
    }
    sextets[pending++] = static_cast<std::uint8_t>(value);
    if (pending == 4) {
      *w++ = static_cast<std::uint8_t>((sextets[0] << 2) | (sextets[1] >> 4));
      *w++ = static_cast<std::uint8_t>(((sextets[1] & 0x0F) << 4) | (sextets[2] >> 2));
      *w++ = static_cast<std::uint8_t>(((sextets[2] & 0x03) << 6) | sextets[3]);
      pending = 0;
    }
  }
  out.resize(static_cast<std::size_t>(w - out.data()));
  return out;
}

}  // namespace lumora
