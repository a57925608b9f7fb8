// The bounds of one paged listing from the cloud (the contact records, the
// albums, an album's images): how many pages it may take, how much the
// records it brings may hold, and how often the cloud may start it again.
// A cloud that never says "last page", sends pages without end, hands back
// a watermark the listing already asked from (a page that does not move) or
// keeps answering "start again" makes the listing fail instead of growing
// for ever; nothing of it is stored then, so the watermark stays where it
// was.
//
// Every page's records count, a record sent again under an id already held
// as well: the count bounds what the listing read, not only what it keeps.
// A restart drops what was held and counts pages from nothing again; the
// restarts themselves are never forgiven.
//
// It also holds the listing's rules for watermarks: which "syncTag" the
// cloud can be sent back, and where a listing starts again after the cloud
// refused a page.
//
// Ownership: a value, one per listing. Threading: the listing's thread.
// Failure: each step answers false once its bound is passed; refusal()
// then says which, as the end of the listing's failure reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/Error.h"

namespace lumora {

class LMListingBounds {
 public:
  static constexpr int kMaxPages = 1000;
  static constexpr int kMaxRestarts = 5;
  // Roughly the memory the records' texts and their overhead take.
  static constexpr std::size_t kMaxBytes = std::size_t{256} << 20;
  // The largest sync tag the cloud reads back: it takes 18 decimal digits.
  static constexpr std::int64_t kMaxSyncTag = 999'999'999'999'999'999;
  // The cloud's codes (server domain) for a listing that must start again,
  // and for a request it cannot read.
  static constexpr std::int64_t kListAgainCode = 52000;
  static constexpr std::int64_t kMalformedRequestCode = 400;

  // Where a page is asked from: the sync tag and the text that goes with it
  // (none when the listing starts from scratch).
  struct Watermark {
    std::int64_t tag = 0;
    std::optional<std::string> extraInfo;
  };

  // Counts the page about to be asked for from `from`; false past
  // kMaxPages, or when the listing asked from that watermark before since
  // it last started: the cloud would only hand the same pages again.
  bool nextPage(const Watermark& from);
  // The cloud starts the listing again: what was held is dropped and pages
  // count from nothing; false past kMaxRestarts.
  bool restart();
  // Counts what the record read from `value` holds; false once the listing
  // holds more than kMaxBytes.
  bool hold(const platform::Json& value);

  std::size_t held() const { return held_; }
  // ", because the listing does not end." (or does not move, is too large,
  // or keeps starting again): the end of "The operation of loading ... is
  // failed".
  std::string refusal() const;

  // A page's "syncTag" when it is one the cloud can be sent back: a whole
  // number from 0 to kMaxSyncTag. A negative one, one past the bound or a
  // fraction is no tag; the page is then as malformed as one without it.
  static std::optional<std::int64_t> syncTagOf(const platform::Json& value);

  // Where the listing starts again after the cloud refused a page asked
  // from `from` with `error`: its "list again" (52000) names the watermark
  // in its "data" (a "syncTag" or "syncExtraInfo" missing or unusable there
  // keeps the one of `from`); its refusal of the request as malformed (400)
  // when a watermark was sent means the cloud cannot read that watermark,
  // and the listing starts from scratch. nullopt for any other error: it
  // ends the listing.
  static std::optional<Watermark> restartAfter(const platform::Error& error, const Watermark& from);

  // Roughly the memory a record read from `value` holds: its texts and keys,
  // and a node's worth for each value.
  static std::size_t footprintOf(const platform::Json& value);

 private:
  enum class Refusal { None, Endless, Unmoving, TooLarge, Restarting };

  int pages_ = 0;
  int restarts_ = 0;
  std::size_t held_ = 0;
  std::set<std::pair<std::int64_t, std::string>> askedFrom_;
  Refusal refusal_ = Refusal::None;
};

}  // namespace lumora
