// Keyed archives read from files (the group snapshot and every archived
// object): an archive that reads is written and read back to the same
// bytes, and each of its dictionaries reads as an archived group.
#include <cstddef>
#include <cstdint>

#include "cloud/modal/LMGroup.h"
#include "platform/KeyedArchive.h"
#include "support/Fuzz.h"

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
  auto rewritten = reread->binaryData();
  FUZZ_CHECK(rewritten.ok());
  FUZZ_CHECK(*rewritten == *written);
  return 0;
}
