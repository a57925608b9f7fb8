#include "server/services/VipsBuffers.h"

namespace localcloud {

bool startVips() {
  static const bool started = vips_init("lumora-cloud") == 0;
  return started;
}

std::string writeImageToBuffer(const vips::VImage& image, const char* suffix) {
  try {
    void* buffer = nullptr;
    std::size_t length = 0;
    image.write_to_buffer(suffix, &buffer, &length);
    std::string bytes(static_cast<const char*>(buffer), length);
    g_free(buffer);
    return bytes;
  } catch (const vips::VError&) {
    return {};
  }
}

}  // namespace localcloud
