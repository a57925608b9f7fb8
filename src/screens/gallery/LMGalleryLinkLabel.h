// The progress screen's label of the failed-photo link: a white prefix and
// an underlined link, and where the link lies (linkRect), measured for a
// line centred in the label, so that a tap can be tested against it.
//
// Ownership: a view (std::make_shared). Threading: main thread. Nothing fails.
#pragma once

#include <string>

#include "platform/ui/Label.h"

namespace lumora {

class LMGalleryLinkLabel : public platform::ui::Label {
 public:
  using Label::Label;
  const platform::ui::Rect& linkRect() const { return linkRect_; }
  void setPrefixString(const std::string& prefix, const std::string& link);

 private:
  platform::ui::Rect linkRect_;
};

}  // namespace lumora
