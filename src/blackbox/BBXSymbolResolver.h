// Names the frames of an earlier launch in this one. The report's
// "binary_images.bbxrecord" gives each image's uuid, base, size and path at
// crash time; a frame's image is found by address there, the same image
// (same build-id) is found loaded in this process, the address is moved
// into it, and the loader names the nearest exported symbol. A return
// address on a symbol's first byte (a call that never returns, at the end
// of a function) is looked up 2 bytes back, inside the calling function.
//
// Ownership: a plain value holding the images it read. Threading: one
// thread at a time. Failure: a frame that cannot be named keeps only its
// address (false); an unreadable image record is logged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blackbox/BBXBinaryImage.h"
#include "blackbox/BBXStackFrame.h"

namespace lumora {

class BBXSymbolResolver {
 public:
  // Keeps every "load" record that has a numeric "base" and "size", sorted
  // by base; false for an empty path or a file without sections.
  bool loadBinaryImagesFromFile(const std::string& path);
  // The first image (by base) whose range holds `pc`.
  std::optional<nlohmann::json> loadedBinaryImageForPC(std::uint64_t pc) const;
  // The image with that uuid loaded in this process; false for none (and
  // for an empty uuid, which names no image).
  bool fillInImageDetails(BBXBinaryImageDetails* details, const std::string& uuid) const;
  // A new frame for `address` when it can be named, else nullptr.
  std::shared_ptr<BBXStackFrame> frameForAddress(std::uint64_t address) const;
  // Sets the frame's symbol, offset and library; false when it cannot.
  bool updateStackFrame(BBXStackFrame& frame) const;

  const std::vector<nlohmann::json>& binaryImages() const { return binaryImages_; }

 private:
  std::vector<nlohmann::json> binaryImages_;
};

}  // namespace lumora
