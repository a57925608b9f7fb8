// The bounds of one paged listing from the cloud (the contact records, the
// albums, an album's images): how many pages it may take, how much the
// records it brings may hold, and how often the cloud may start it again.
// A cloud that never says "last page", sends pages without end or keeps
// answering "start again" makes the listing fail instead of growing for
// ever; nothing of it is stored then, so the watermark stays where it was.
//
// Every page's records count, a record sent again under an id already held
// as well: the count bounds what the listing read, not only what it keeps.
// A restart drops what was held and counts pages from nothing again; the
// restarts themselves are never forgiven.
//
// Ownership: a value, one per listing. Threading: the listing's thread.
// Failure: each step answers false once its bound is passed; refusal()
// then says which, as the end of the listing's failure reason.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Error.h"

namespace lumora {

class LMListingBounds {
 public:
  static constexpr int kMaxPages = 1000;
  static constexpr int kMaxRestarts = 5;
  // Roughly the memory the records' texts and their overhead take.
  static constexpr std::size_t kMaxBytes = std::size_t{256} << 20;

  // Counts the page about to be asked for; false past kMaxPages.
  bool nextPage();
  // The cloud starts the listing again: what was held is dropped and pages
  // count from nothing; false past kMaxRestarts.
  bool restart();
  // Counts what the record read from `value` holds; false once the listing
  // holds more than kMaxBytes.
  bool hold(const platform::Json& value);

  std::size_t held() const { return held_; }
  // ", because the listing does not end." (or is too large, or keeps
  // starting again): the end of "The operation of loading ... is failed".
  std::string refusal() const;

  // Roughly the memory a record read from `value` holds: its texts and keys,
  // and a node's worth for each value.
  static std::size_t footprintOf(const platform::Json& value);

 private:
  enum class Refusal { None, Endless, TooLarge, Restarting };

  int pages_ = 0;
  int restarts_ = 0;
  std::size_t held_ = 0;
  Refusal refusal_ = Refusal::None;
};

}  // namespace lumora
