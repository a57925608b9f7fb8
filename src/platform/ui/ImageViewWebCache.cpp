#include "platform/ui/ImageViewWebCache.h"

#include <unordered_map>

namespace platform::ui {
namespace {

// The load under way per view (main thread only).
std::unordered_map<const View*, std::shared_ptr<WebImageOperation>>& loads() {
  static auto* map = new std::unordered_map<const View*, std::shared_ptr<WebImageOperation>>();
  return *map;
}

}  // namespace

void cancelCurrentImageLoad(const ImageView& view) {
  auto found = loads().find(&view);
  if (found == loads().end()) return;
  found->second->cancel();
  loads().erase(found);
}

void setImageWithURL(const std::shared_ptr<ImageView>& view, const std::string& url,
                     std::optional<Image> placeholder, WebImageOptions options, WebImageCompletion completed) {
  if (!view) return;
  cancelCurrentImageLoad(*view);
  view->setImage(std::move(placeholder));
  std::weak_ptr<ImageView> weakView = view;
  const View* key = view.get();
  auto operation = std::make_shared<std::shared_ptr<WebImageOperation>>();
  *operation = WebImageManager::sharedManager().downloadImageWithURL(
      url, options,
      [weakView, key, operation, completed](std::optional<Image> image, std::optional<Error> error,
                                            ImageCacheType type, const std::string& loaded) {
        auto found = loads().find(key);
        if (found != loads().end() && found->second == *operation) loads().erase(found);
        operation->reset();
        auto view = weakView.lock();
        if (view && image) {
          view->setImage(image);
        }
        if (completed) completed(image, error, type, loaded);
      });
  if (*operation) loads()[key] = *operation;
}

}  // namespace platform::ui
