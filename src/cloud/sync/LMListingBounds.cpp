#include "cloud/sync/LMListingBounds.h"

#include "cloud/model/LMRecord.h"
#include "platform/Bytes.h"
#include "platform/JsonValues.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"

namespace lumora {

bool LMListingBounds::nextPage(const Watermark& from) {
  if (pages_ >= kMaxPages) {
    refusal_ = Refusal::Endless;
    return false;
  }
  // The cloud answers the same watermark with the same page: a listing
  // that comes back to one is going round.
  if (!askedFrom_.emplace(from.tag, from.extraInfo.value_or(std::string())).second) {
    refusal_ = Refusal::Unmoving;
    return false;
  }
  ++pages_;
  return true;
}

bool LMListingBounds::restart() {
  if (restarts_ >= kMaxRestarts) {
    refusal_ = Refusal::Restarting;
    return false;
  }
  ++restarts_;
  pages_ = 0;
  held_ = 0;
  askedFrom_.clear();
  return true;
}

bool LMListingBounds::hold(const platform::Json& value) {
  held_ += footprintOf(value);
  if (held_ <= kMaxBytes) return true;
  refusal_ = Refusal::TooLarge;
  return false;
}

std::string LMListingBounds::refusal() const {
  switch (refusal_) {
    case Refusal::Endless: return ", because the listing does not end.";
    case Refusal::Unmoving: return ", because the listing does not move.";
    case Refusal::TooLarge: return ", because the listing is too large.";
    case Refusal::Restarting: return ", because the listing keeps starting again.";
    case Refusal::None: break;
  }
  return ".";
}

std::optional<std::int64_t> LMListingBounds::syncTagOf(const platform::Json& value) {
  std::optional<std::int64_t> tag = LMRecord::cloudIntegerOf(value);
  if (!tag || *tag < 0 || *tag > kMaxSyncTag) return std::nullopt;
  return tag;
}

std::optional<LMListingBounds::Watermark> LMListingBounds::restartAfter(const platform::Error& error,
                                                                        const Watermark& from) {
  if (error.domain() != kLMServerErrorDomain) return std::nullopt;
  if (error.code() == kListAgainCode) {
    LM_LOG_ERROR("V3 API error need Re-synchronize: {}", error.description());
    Watermark again = from;
    const platform::Json& info = error.userInfo();
    if (!platform::isNonEmptyObject(info)) return again;
    auto data = info.find("data");
    if (data == info.end() || !platform::isNonEmptyObject(*data)) return again;
    if (auto tag = data->find("syncTag"); tag != data->end()) {
      if (auto value = syncTagOf(*tag)) again.tag = *value;
    }
    if (auto text = platform::stringAt(*data, "syncExtraInfo"); platform::hasText(text)) again.extraInfo = text;
    return again;
  }
  if (error.code() == kMalformedRequestCode && (from.tag != 0 || from.extraInfo)) {
    // A watermark stored before it was checked, or one the cloud no longer
    // reads: asking from it would be refused for ever.
    LM_LOG_ERROR("The cloud refuses the sync tag {}, listing from the beginning: {}", from.tag, error.description());
    return Watermark{};
  }
  return std::nullopt;
}

std::size_t LMListingBounds::footprintOf(const platform::Json& value) {
  // Replies nest only so deep (the reader refuses deeper ones), so the
  // recursion is bounded.
  constexpr std::size_t kNode = sizeof(platform::Json);
  constexpr std::size_t kEntry = 4 * sizeof(void*);
  std::size_t bytes = kNode;
  if (value.is_string()) return bytes + value.get_ref<const std::string&>().size();
  if (value.is_binary()) return bytes + value.get_binary().size();
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) bytes += kEntry + it.key().size() + footprintOf(it.value());
  } else if (value.is_array()) {
    for (const platform::Json& element : value) bytes += footprintOf(element);
  }
  return bytes;
}

}  // namespace lumora
