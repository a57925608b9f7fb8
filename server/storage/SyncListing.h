// What the listings of the signed services (contacts, gallery) share: the
// paging parameters of a listing from a sync tag, the rule that places a
// tag in a change log, and the reply that makes a listing start again.
//   "syncTag" (decimal, required), "syncExtraInfo" (the text the server
//   made for that tag; left out when listing from scratch, at most 256
//   characters), "limit" (1 to 500, default 200), "filterTag" (decimal tags
//   joined by ",", at most 500: records at those tags, versions the caller
//   holds already, are left out).
// Stateless; safe from any thread; nothing throws.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <variant>

#include "server/services/SignedEndpoints.h"

namespace localcloud {

// Where a page of a listing leaves off.
struct SyncCursor {
  bool restart = false;        // the tag cannot be placed: start again from tag 0
  bool lastPage = false;
  std::int64_t syncTag = 0;    // where the next page starts (0 on restart)
  std::string syncExtraInfo;   // the text made for syncTag
};

struct SyncListing {
  static constexpr int kListAgain = 52000;  // the reply code of a listing that must start again
  static constexpr std::size_t kDefaultLimit = 200;
  static constexpr std::size_t kMaxLimit = 500;
  static constexpr std::size_t kMaxFilterTags = 500;
  static constexpr std::size_t kMaxExtraInfo = 256;

  std::int64_t syncTag = 0;
  std::optional<std::string> extraInfo;
  std::size_t limit = kDefaultLimit;
  std::set<std::int64_t> skipTags;

  // The listing's parameters, or the refusal (400) of a malformed one.
  static std::variant<SyncListing, SignedReply> read(const SignedRequest& req);

  // Where a page read from this listing's tag leaves off: a restart (with
  // the text of tag 0) when the tag cannot be placed in a log of that
  // horizon and newest tag; else after the last change read (`scannedTag`)
  // when `more` follow, or at the newest tag: every change up to it was
  // listed, and every later one gets a higher tag. `textOf` makes a tag's
  // text.
  SyncCursor cursor(const std::function<std::string(std::int64_t)>& textOf, std::int64_t horizon,
                    std::int64_t lastTag, bool more, std::int64_t scannedTag) const;

  // Code 52000 with data {"syncTag": 0, "syncExtraInfo": the text of tag 0}.
  static SignedReply listAgain(const std::string& textOfTagZero);
};

}  // namespace localcloud
