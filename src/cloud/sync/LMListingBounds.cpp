#include "cloud/sync/LMListingBounds.h"

namespace lumora {

bool LMListingBounds::nextPage() {
  if (pages_ >= kMaxPages) {
    refusal_ = Refusal::Endless;
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
    case Refusal::TooLarge: return ", because the listing is too large.";
    case Refusal::Restarting: return ", because the listing keeps starting again.";
    case Refusal::None: break;
  }
  return ".";
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
