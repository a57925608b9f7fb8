// Property lists from files (preferences, keychain, archives), binary or XML:
// the check before libplist reads them, the reading itself, and the JSON
// form. Whatever reads is written as a binary list that reads back to the
// same JSON, and so does its JSON form written as a list again.
#include <cstddef>
#include <cstdint>

#include "platform/storage/PropertyList.h"
#include "support/Fuzz.h"

namespace {

// The JSON text of a list (NaN, which compares unequal to itself, and
// binary values compare alike through it).
std::string jsonText(plist_t node) { return platform::plist::toJson(node).dump(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace plist = platform::plist;
  plist::Node root = plist::parse(fuzz::bytes(data, size));
  if (!root) return 0;
  const std::string json = jsonText(root.get());

  plist::Node again = plist::parse(plist::toBinary(root.get()));
  FUZZ_CHECK(again != nullptr);
  FUZZ_CHECK(jsonText(again.get()) == json);

  const platform::Json form = plist::toJson(root.get());
  if (plist::Node rebuilt = plist::fromJson(form)) {
    plist::Node reread = plist::parse(plist::toBinary(rebuilt.get()));
    FUZZ_CHECK(reread != nullptr);
    FUZZ_CHECK(plist::toJson(reread.get()).dump() == plist::normalizedJson(form).dump());
  }
  return 0;
}
