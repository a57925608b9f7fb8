// Base64 of the cloud wire format (declared in AESCrypt.h).
#include <array>

#include "utils/AESCrypt.h"

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

}  // namespace

std::string base64Encoding(const platform::Bytes& data) {
  return base64EncodingWithLineLength(data, 0);
}

std::string base64EncodingWithLineLength(const platform::Bytes& data, std::size_t lineLength) {
  std::string out;
  const std::size_t groups = (data.size() + 2) / 3;
  out.reserve(groups * 4 + (lineLength > 0 ? groups : 0));
  std::size_t onLine = 0;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t left = data.size() - i;
    const std::uint32_t b0 = data[i];
    const std::uint32_t b1 = left > 1 ? data[i + 1] : 0;
    const std::uint32_t b2 = left > 2 ? data[i + 2] : 0;
    const std::uint32_t group = (b0 << 16) | (b1 << 8) | b2;
    out.push_back(kAlphabet[(group >> 18) & 0x3F]);
    out.push_back(kAlphabet[(group >> 12) & 0x3F]);
    out.push_back(left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=');
    out.push_back(left > 2 ? kAlphabet[group & 0x3F] : '=');
    if (lineLength > 0) {
      onLine += 4;
      if (onLine >= lineLength) {
        out.push_back('\n');
        onLine = 0;
      }
    }
  }
  return out;
}

platform::Bytes dataWithBase64EncodedString(std::string_view text) {
  platform::Bytes out;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return out;
  }
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint8_t sextets[4] = {0, 0, 0, 0};
  int pending = 0;
  for (char c : text) {
    const std::int8_t value = kDecode[static_cast<unsigned char>(c)];
    if (value == kSkip) continue;
    if (value == kEnd) {
      // Padding ends the text: three pending sextets carry two bytes, one or
      // two carry one (a lone sextet is read with zero low bits).
      if (pending == 0) break;
      for (int k = pending; k < 4; ++k) sextets[k] = 0;
      out.push_back(static_cast<std::uint8_t>((sextets[0] << 2) | (sextets[1] >> 4)));
      if (pending == 3) {
        out.push_back(static_cast<std::uint8_t>(((sextets[1] & 0x0F) << 4) | (sextets[2] >> 2)));
      }
      break;
    }
    sextets[pending++] = static_cast<std::uint8_t>(value);
    if (pending == 4) {
      out.push_back(static_cast<std::uint8_t>((sextets[0] << 2) | (sextets[1] >> 4)));
      out.push_back(static_cast<std::uint8_t>(((sextets[1] & 0x0F) << 4) | (sextets[2] >> 2)));
      out.push_back(static_cast<std::uint8_t>(((sextets[2] & 0x03) << 6) | sextets[3]));
      pending = 0;
    }
  }
  return out;
}

}  // namespace lumora
