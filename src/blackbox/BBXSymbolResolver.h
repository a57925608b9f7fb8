// Names the frames of an earlier launch in this one. The report's
// "binary_images.bbxrecord" gives each image's uuid, base, size and path at
// crash time; a frame's image is found by address there, the same image
// (same build-id) is found loaded in this process, the address is moved
// into it, and the symbol holding it is read from that image's file: its
// full symbol table where it has one (static functions and ".cold" parts
// are named too), else its dynamic one; the loader (exported symbols) where
// the file cannot be read. A return address is looked up one byte back,
// inside the call that made it (a call that never returns may be the last
// instruction of its function); an exact address (a thread's first frame:
// where it faulted or was stopped) is looked up as it stands. The offset is
// the address less the symbol's start.
//
// Ownership: a plain value holding the images it read and the symbol tables
// it has opened. Threading: one thread at a time. Failure: a frame that
// cannot be named keeps only its address (false); an unreadable image
// record is logged.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blackbox/BBXBinaryImage.h"
#include "blackbox/BBXElfSymbolTable.h"
#include "blackbox/BBXFile.h"
#include "blackbox/BBXStackFrame.h"

namespace lumora {

class BBXSymbolResolver {
 public:
  // Keeps every "load" record that has a numeric "base" and "size", sorted
  // by base; false for an empty path or a file without sections. `problem`
  // (optional) says why a file could not be read (None when it was).
  bool loadBinaryImagesFromFile(const std::string& path, BBXFileReadProblem* problem = nullptr);
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
  struct LoadedImage {
    std::uint64_t bias = 0;
    std::optional<BBXElfSymbolTable> symbols;
  };
  // The image of that uuid loaded here, with its file's symbols; null when
  // none is loaded. Opened once per uuid.
  const LoadedImage* loadedImageForUUID(const std::string& uuid) const;

  std::vector<nlohmann::json> binaryImages_;
  mutable std::map<std::string, std::optional<LoadedImage>> loadedImages_;
};

}  // namespace lumora
