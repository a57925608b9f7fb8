// Keyed archives read from files (the group snapshot and every archived
// object): an archive that reads is written and read back to the same
// values, and each of its dictionaries reads as an archived group.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "cloud/model/LMGroup.h"
#include "platform/storage/KeyedArchive.h"
#include "support/Fuzz.h"

namespace {

using platform::ArchiveValue;

// Equal values, a NaN equal to a NaN. (The bytes written may differ between
// two writes of one archive: libplist shares equal objects only sometimes.)
bool same(const ArchiveValue& a, const ArchiveValue& b) {
  if (a.asDouble() && b.asDouble()) {
    return *a.asDouble() == *b.asDouble() || (std::isnan(*a.asDouble()) && std::isnan(*b.asDouble()));
  }
  if (a.asArray() && b.asArray()) {
    const auto& x = *a.asArray();
    const auto& y = *b.asArray();
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), same);
  }
  if (a.asDictionary() && b.asDictionary()) {
    const auto& x = *a.asDictionary();
    const auto& y = *b.asDictionary();
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), [](const auto& p, const auto& q) {
             return p.first == q.first && same(p.second, q.second);
           });
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto archive = platform::KeyedArchive::fromBinaryData(fuzz::bytes(data, size));
  if (!archive) return 0;
  (void)lumora::LMGroup::initWithCoder(*archive);
  for (const auto& [key, value] : archive->values()) {
    if (auto nested = archive->decodeArchive(key)) (void)lumora::LMGroup::initWithCoder(*nested);
  }
  auto written = archive->binaryData();
  if (!written) return 0;  // a date the format cannot hold
  auto reread = platform::KeyedArchive::fromBinaryData(*written);
  FUZZ_CHECK(reread.ok());
  FUZZ_CHECK(same(ArchiveValue(reread->values()), ArchiveValue(archive->values())));
  return 0;
}
