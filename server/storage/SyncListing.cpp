#include "server/storage/SyncListing.h"

#include <algorithm>
#include <string_view>

#include "server/services/Crypto.h"
#include "server/http/HttpUtil.h"

namespace localcloud {

namespace {

// "1,2,3" -> {1, 2, 3}; nullopt for an empty item, a non-decimal one or
// too many.
std::optional<std::set<std::int64_t>> readTags(std::string_view text) {
  std::set<std::int64_t> tags;
  std::size_t count = 0;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = std::min(text.find(',', pos), text.size());
    auto tag = http::decimal(text.substr(pos, end - pos));
    if (!tag || ++count > SyncListing::kMaxFilterTags) return std::nullopt;
    tags.insert(*tag);
    pos = end + 1;
  }
  return tags;
}

}  // namespace

std::variant<SyncListing, SignedReply> SyncListing::read(const SignedRequest& req) {
  SyncListing listing;
  auto tagText = req.param("syncTag");
  if (!tagText) return badRequest("syncTag is missing");
  auto tag = http::decimal(*tagText);
  if (!tag) return badRequest("syncTag must be a decimal number");
  listing.syncTag = *tag;
  listing.extraInfo = req.param("syncExtraInfo");
  if (listing.extraInfo && (listing.extraInfo->empty() || listing.extraInfo->size() > kMaxExtraInfo)) {
    return badRequest("syncExtraInfo is malformed");
  }
  if (auto text = req.param("limit")) {
    auto value = http::decimal(*text);
    if (!value || *value < 1 || *value > static_cast<std::int64_t>(kMaxLimit)) {
      return badRequest("limit must be 1 to 500");
    }
    listing.limit = static_cast<std::size_t>(*value);
  }
  if (auto text = req.param("filterTag")) {
    auto tags = readTags(*text);
    if (!tags) return badRequest("filterTag must be decimal tags joined by commas");
    listing.skipTags = std::move(*tags);
  }
  return listing;
}

SyncCursor SyncListing::cursor(const std::function<std::string(std::int64_t)>& textOf,
                               std::int64_t horizon, std::int64_t lastTag, bool more,
                               std::int64_t scannedTag) const {
  SyncCursor cursor;
  // Tag 0 is always placed; another tag only with its own text, at or above
  // the horizon and not beyond the newest tag.
  const bool placed = syncTag == 0 || (extraInfo && crypto::constantTimeEquals(*extraInfo, textOf(syncTag)) &&
                                       syncTag >= horizon && syncTag <= lastTag);
  cursor.restart = !placed;
  cursor.lastPage = placed && !more;
  cursor.syncTag = !placed ? 0 : more ? scannedTag : std::max(lastTag, syncTag);
  cursor.syncExtraInfo = textOf(cursor.syncTag);
  return cursor;
}

SignedReply SyncListing::listAgain(const std::string& textOfTagZero) {
  return SignedReply::error(kListAgain, "the sync tag is unknown or too old: list again",
                            nlohmann::json{{"syncTag", 0}, {"syncExtraInfo", textOfTagZero}});
}

}  // namespace localcloud
