// The dynamic loader as the crash reporter sees it: the list of loaded
// images with their program headers, and callbacks told of every image that
// is added or removed. An add callback is called at once for every image
// already loaded (dl_iterate_phdr order), then for each image that
// loader::open brings in; remove callbacks for each image that loader::close
// takes out. loader::open and loader::close are the program's only way to
// load and unload code.
//
// Ownership: callbacks are kept until removed. Threading: any thread;
// callbacks run on the thread that opens or closes, one event at a time
// (under the loader's lock: they must not open or close). Failure: open and
// close report dlopen's and dlclose's results.
#pragma once

#include <link.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform::loader {

struct Image {
  std::string path;                    // "" for the main executable, as the loader names it
  ElfW(Addr) bias = 0;                 // load bias (dlpi_addr)
  std::vector<ElfW(Phdr)> headers;     // a copy of the program headers
  // False for a removed image: it is unmapped, and only the fields above
  // (copies) may be read, never the memory they describe.
  bool mapped = true;
};

using ImageCallback = std::function<void(const Image&)>;
using CallbackToken = std::uint64_t;

CallbackToken addImageAddedCallback(ImageCallback callback);
CallbackToken addImageRemovedCallback(ImageCallback callback);
// Tests only: forgets a callback.
void removeCallback(CallbackToken token);

// The images loaded now.
std::vector<Image> loadedImages();

// dlopen, then the add callbacks for every image it brought in.
void* open(const char* path, int flags);
// dlclose, then the remove callbacks for every image it took out. The
// result of dlclose.
int close(void* handle);

}  // namespace platform::loader
