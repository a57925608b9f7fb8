#include "screens/gallery/LMGalleryLinkLabel.h"

#include <limits>

#include "platform/ui/TextMeasurer.h"

namespace lumora {

namespace ui = platform::ui;

void LMGalleryLinkLabel::setPrefixString(const std::string& prefix, const std::string& link) {
  setFont(ui::Font::systemFont(13));
  ui::TextRun prefixRun{prefix, false, 0, 0, ui::Color::white()};
  ui::TextRun linkRun{link, true, 0, 0, ui::Color::white()};
  setAttributedText({prefixRun, linkRun});
  // Measured at 15 points though drawn at 13: the tap area is generous.
  const auto measurer = ui::TextMeasurer::current();
  const double unbounded = std::numeric_limits<double>::max();
  const ui::Size prefixSize = measurer->measure(prefix, ui::Font::systemFont(15), unbounded, 0);
  const ui::Size linkSize = measurer->measure(link, ui::Font::systemFont(15), unbounded, 0);
  linkRect_ = {(prefixSize.width + bounds().width - linkSize.width) / 2, 0, linkSize.width, linkSize.height};
}

}  // namespace lumora
