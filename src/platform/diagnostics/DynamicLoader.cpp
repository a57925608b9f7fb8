#include "platform/diagnostics/DynamicLoader.h"

#include <dlfcn.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace platform::loader {
namespace {

struct LoaderState {
  std::recursive_mutex mutex;
  CallbackToken nextToken = 1;
  std::map<CallbackToken, ImageCallback> added;
  std::map<CallbackToken, ImageCallback> removed;
};

LoaderState& state() {
  static auto* loader = new LoaderState;
  return *loader;
}

int collectImage(dl_phdr_info* info, std::size_t, void* data) {
  Image image;
  image.path = info->dlpi_name != nullptr ? info->dlpi_name : "";
  image.bias = info->dlpi_addr;
  image.headers.assign(info->dlpi_phdr, info->dlpi_phdr + info->dlpi_phnum);
  static_cast<std::vector<Image>*>(data)->push_back(std::move(image));
  return 0;
}

bool sameImage(const Image& a, const Image& b) { return a.bias == b.bias && a.path == b.path; }

// The images of `from` that `in` does not hold.
std::vector<Image> missingFrom(const std::vector<Image>& from, const std::vector<Image>& in) {
  std::vector<Image> missing;
  for (const Image& image : from) {
    if (std::none_of(in.begin(), in.end(), [&](const Image& other) { return sameImage(image, other); })) {
      missing.push_back(image);
    }
  }
  return missing;
}

}  // namespace

std::vector<Image> loadedImages() {
  std::vector<Image> images;
  dl_iterate_phdr(collectImage, &images);
  return images;
}

CallbackToken addImageAddedCallback(ImageCallback callback) {
  LoaderState& loader = state();
  std::lock_guard lock(loader.mutex);
  const CallbackToken token = loader.nextToken++;
  for (const Image& image : loadedImages()) callback(image);
  loader.added.emplace(token, std::move(callback));
  return token;
}

CallbackToken addImageRemovedCallback(ImageCallback callback) {
  LoaderState& loader = state();
  std::lock_guard lock(loader.mutex);
  const CallbackToken token = loader.nextToken++;
  loader.removed.emplace(token, std::move(callback));
  return token;
}

void removeCallback(CallbackToken token) {
  LoaderState& loader = state();
  std::lock_guard lock(loader.mutex);
  loader.added.erase(token);
  loader.removed.erase(token);
}

void* open(const char* path, int flags) {
  LoaderState& loader = state();
  std::lock_guard lock(loader.mutex);
  const std::vector<Image> before = loadedImages();
  void* handle = dlopen(path, flags);
  if (handle == nullptr) return nullptr;
  for (const Image& image : missingFrom(loadedImages(), before)) {
    for (auto& [token, callback] : loader.added) callback(image);
  }
  return handle;
}

int close(void* handle) {
  LoaderState& loader = state();
  std::lock_guard lock(loader.mutex);
  const std::vector<Image> before = loadedImages();
  const int result = dlclose(handle);
  for (Image image : missingFrom(before, loadedImages())) {
    image.mapped = false;
    for (auto& [token, callback] : loader.removed) callback(image);
  }
  return result;
}

}  // namespace platform::loader
