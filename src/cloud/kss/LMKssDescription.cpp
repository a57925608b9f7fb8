#include "cloud/kss/LMKssDescription.h"

#include <cmath>

#include "platform/Bytes.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"

namespace lumora {

platform::Error LMKssError(const char* reason) {
  return LMUtils::errorForLumoraUnknownErrorWithUserInfo(
      {{kLMErrorReasonKey, reason}, {kLMErrorDescriptionKey, kLMKssErrorTitle}});
}

namespace {

// A block size: a whole number in range (a number written with a fraction
// part of zero counts too).
std::optional<std::uint64_t> blockSize(const platform::Json& value) {
  if (value.is_number_unsigned()) {
    auto size = value.get<std::uint64_t>();
    if (size <= kLMKssMaxBlockSize) return size;
  } else if (value.is_number_integer()) {
    auto size = value.get<std::int64_t>();
    if (size >= 0 && static_cast<std::uint64_t>(size) <= kLMKssMaxBlockSize) {
      return static_cast<std::uint64_t>(size);
    }
  } else if (value.is_number_float()) {
    double size = value.get<double>();
    if (size >= 0 && size <= static_cast<double>(kLMKssMaxBlockSize) && std::floor(size) == size) {
      return static_cast<std::uint64_t>(size);
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> blockUrls(const platform::Json& block) {
  if (!block.is_object()) return std::nullopt;
  auto urls = block.find("urls");
  if (urls == block.end() || !urls->is_array() || urls->empty()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& url : *urls) {
    if (!url.is_string() || url.get_ref<const std::string&>().empty()) return std::nullopt;
    out.push_back(url.get<std::string>());
  }
  return out;
}

}  // namespace

platform::Result<LMKssDescription> LMKssDescription::fromJson(const platform::Json& kss) {
  if (!kss.is_object()) return LMKssError(kLMKssReasonNoBlockUrls);
  auto blocks = kss.find("blocks");
  if (blocks == kss.end() || !blocks->is_array() || blocks->empty()) {
    return LMKssError(kLMKssReasonNoBlockUrls);
  }
  LMKssDescription description;
  auto key = kss.find("secure_key");
  if (key == kss.end() || !key->is_string()) return LMKssError(kLMKssReasonNoSecureKey);
  auto keyBytes = platform::hexData(key->get_ref<const std::string&>());
  if (!keyBytes || keyBytes->empty()) return LMKssError(kLMKssReasonNoSecureKey);
  description.secureKey = std::move(*keyBytes);

  for (const auto& block : *blocks) {
    auto urls = blockUrls(block);
    if (!urls) return LMKssError(kLMKssReasonNoBlockUrls);
    auto sha1 = block.find("sha1");
    auto size = block.find("size");
    if (sha1 == block.end() || !sha1->is_string() || size == block.end()) {
      return LMKssError(kLMKssReasonWrongBlock);
    }
    auto bytes = blockSize(*size);
    if (!bytes) return LMKssError(kLMKssReasonWrongBlock);
    description.blocks.push_back(LMKssBlock{std::move(*urls), sha1->get<std::string>(), *bytes});
  }
  return description;
}

}  // namespace lumora
