// The gallery service's album and image listings as the image sync adapter
// pages through them: the input is the run of replies, one per page asked
// for (the "data" of a reply as JSON text, any text, or the cloud's error
// that starts the listing over from the tag it names), and the listing
// runs until it succeeds or fails; a listing asked for a page the input no
// longer holds fails as on a lost connection. Once it ends, every record it
// kept has its server id, once.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloud/sync/FakeGallery.h"
#include "platform/Bytes.h"
#include "platform/dispatch/Clock.h"
#include "platform/storage/AppHome.h"
#include "support/Fuzz.h"
#include "utils/LMErrors.h"

namespace {

using platform::Json;

constexpr std::int64_t kRestartCode = 52000;

void setUpOnce() {
  static const bool done = [] {
    platform::AppHome::setRoot(fuzz::scratchDirectory("gallery"));
    auto clock = std::make_shared<platform::ManualClock>();
    clock->setAutoAdvanceSleeps(true);
    platform::Clock::setCurrent(clock);
    return true;
  }();
  (void)done;
}

platform::Result<Json> reply(FuzzedDataProvider& input) {
  if (input.remaining_bytes() == 0) return platform::Error("NSURLErrorDomain", -1005);
  const bool restart = input.ConsumeIntegralInRange(0, 7) == 0;
  const std::string text = input.ConsumeRandomLengthString(4096);
  // A reply's text that is no JSON reads as a string (what a reply can
  // hold is UTF-8).
  Json data = Json::parse(text, nullptr, false);
  if (data.is_discarded()) data = platform::isValidUtf8(text) ? Json(text) : Json();
  if (restart) {
    return platform::Error(lumora::kLMServerErrorDomain, kRestartCode, {{"code", kRestartCode}, {"data", data}});
  }
  return data;
}

template <class Record>
void checkKept(const std::vector<Record>& records) {
  std::set<std::int64_t> ids;
  for (const Record& record : records) {
    FUZZ_CHECK(record.serverID);
    FUZZ_CHECK(ids.insert(*record.serverID).second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  setUpOnce();
  FuzzedDataProvider input(data, size);
  const bool albums = input.ConsumeBool();
  const std::optional<std::int64_t> sync =
      input.ConsumeBool() ? std::optional<std::int64_t>(input.ConsumeIntegral<std::int64_t>()) : std::nullopt;
  // A stored token: text a reply held, so UTF-8.
  std::optional<std::string> extra;
  if (input.ConsumeBool()) extra = input.ConsumeRandomLengthString(32);
  if (extra && !platform::isValidUtf8(*extra)) extra.reset();
  auto gallery = std::make_shared<fakegallery::FakeGallery>();
  gallery->respond = [&input](const fakegallery::Call&) { return reply(input); };
  auto adapter = std::make_shared<fakegallery::Adapter>(gallery);
  if (albums) {
    adapter->requestAlbumListWithSync(
        sync, extra,
        [](std::int64_t, const std::string&, const std::vector<lumora::LMAlbum>& found, bool) { checkKept(found); },
        nullptr);
  } else {
    adapter->requestImageListInAlbumWithSync(
        sync, extra, 4,
        [](std::int64_t, const std::string&, const std::vector<lumora::LMImage>& found, bool) { checkKept(found); },
        nullptr);
  }
  return 0;
}
