#include "harbor/analytics/BBXAnalyticsCompressFile.h"

#include <dlfcn.h>
#include <zlib.h>

namespace lumora {
namespace {

using DeflateInit2Function = int (*)(z_streamp, int, int, int, int, int, const char*, int);
using DeflateFunction = int (*)(z_streamp, int);
using DeflateEndFunction = int (*)(z_streamp);

constexpr std::size_t kCompressChunk = 5120;

}  // namespace

int BBXAnalyticsCompressFile(std::FILE* in, std::FILE* out) {
  auto deflateInit2Fn = reinterpret_cast<DeflateInit2Function>(dlsym(RTLD_DEFAULT, "deflateInit2_"));
  auto deflateEndFn = reinterpret_cast<DeflateEndFunction>(dlsym(RTLD_DEFAULT, "deflateEnd"));
  auto deflateFn = reinterpret_cast<DeflateFunction>(dlsym(RTLD_DEFAULT, "deflate"));
  if (!deflateInit2Fn || !deflateEndFn || !deflateFn || !in || !out) return -1;

  z_stream stream{};
  if (deflateInit2Fn(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 4, Z_DEFAULT_STRATEGY, "1.2.5",
                     static_cast<int>(sizeof(z_stream))) != Z_OK) {
    return -1;
  }
  unsigned char input[kCompressChunk];
  unsigned char output[kCompressChunk];
  int flush = Z_NO_FLUSH;
  int result = Z_OK;
  do {
    const std::size_t read = std::fread(input, 1, sizeof input, in);
    if (std::ferror(in)) {
      deflateEndFn(&stream);
      return -1;
    }
    flush = std::feof(in) ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = input;
    stream.avail_in = static_cast<uInt>(read);
    // Deflate until this piece is consumed (and, at the end, the member is
    // complete): input that does not shrink fills more than one buffer.
    do {
      stream.next_out = output;
      stream.avail_out = static_cast<uInt>(sizeof output);
      result = deflateFn(&stream, flush);
      if (result == Z_STREAM_ERROR) {
        deflateEndFn(&stream);
        return -1;
      }
      const std::size_t produced = sizeof output - stream.avail_out;
      if (produced > 0 && std::fwrite(output, 1, produced, out) != produced) {
        deflateEndFn(&stream);
        return -1;
      }
    } while (stream.avail_out == 0);
  } while (flush != Z_FINISH);
  deflateEndFn(&stream);
  return (result == Z_STREAM_END) ? 0 : -1;
}

}  // namespace lumora
