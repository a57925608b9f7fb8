// Loading an image view's picture by address (the image library's image
// view extension): the view shows the placeholder at once, then the loaded
// picture when it arrives. Each view has at most one load: a new one, or
// cancelCurrentImageLoad, cancels the one before, so a reused cell never
// shows the picture asked for by its previous use.
//
// Ownership: the view is held weakly by its load. Threading: main thread.
// Failure: the view keeps the placeholder; `completed` gets the error.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/ui/Label.h"
#include "platform/ui/WebImageManager.h"

namespace platform::ui {

void setImageWithURL(const std::shared_ptr<ImageView>& view, const std::string& url,
                     std::optional<Image> placeholder = std::nullopt, WebImageOptions options = {},
                     WebImageCompletion completed = {});
void cancelCurrentImageLoad(const ImageView& view);

}  // namespace platform::ui
