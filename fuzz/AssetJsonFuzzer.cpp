// Album and image records of the gallery service's JSON (one object, or an
// array of them): each reads as an album and as an image and writes its
// own JSON.
#include <cstddef>
#include <cstdint>

#include "cloud/model/LMAlbum.h"
#include "cloud/model/LMImage.h"
#include "support/Fuzz.h"

namespace {

void read(const platform::Json& json) {
  lumora::LMAlbum album = lumora::LMAlbum::initWithLumoraJSON(json);
  FUZZ_CHECK(album.dictionaryForLumoraJSON().is_object());
  lumora::LMImage image = lumora::LMImage::initWithLumoraJSON(json);
  (void)lumora::LMImage::isPhotoType(image.type);
  FUZZ_CHECK(image.dictionaryForLumoraJSON().is_object());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const platform::Json input = platform::Json::parse(fuzz::text(data, size), nullptr, false);
  if (input.is_discarded()) return 0;
  if (input.is_array()) {
    for (const auto& item : input) read(item);
  } else {
    read(input);
  }
  return 0;
}
