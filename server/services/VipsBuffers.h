// libvips for the local cloud's pictures: the library started once for the
// process, and an image written to memory in the format its file suffix
// names (".jpg", ".png").
//
// Safe from any thread. Failure: false when the library cannot start; an
// empty string when the image cannot be written.
#pragma once

#include <vips/vips8>

#include <string>

namespace localcloud {

bool startVips();
std::string writeImageToBuffer(const vips::VImage& image, const char* suffix);

}  // namespace localcloud
