// The photo chooser of the manual merge: under a title, the kept contacts'
// photos in rows of five; one photo or none is chosen (a second tap on the
// chosen photo chooses none). LMPhotoButton is one photo: its image a point
// inside its bounds, a blue border while selected.
//
// Ownership: views made with create(). Threading: main thread.
#pragma once

#include <memory>
#include <vector>

#include "platform/ui/Control.h"
#include "platform/ui/Image.h"
#include "platform/ui/Label.h"

namespace lumora {

class LMPhotoButton : public platform::ui::Control {
 public:
  using Control::Control;
  static std::shared_ptr<LMPhotoButton> create(const platform::ui::Rect& frame);
  const std::shared_ptr<platform::ui::ImageView>& photoView() const { return photoView_; }
  // The border shown now (0 when unselected).
  double borderWidth() const { return isSelected() ? 1 : 0; }
  void layoutSubviews() override;
  void draw(platform::ui::DisplayList& list) const override;

 private:
  std::shared_ptr<platform::ui::ImageView> photoView_ = std::make_shared<platform::ui::ImageView>();
};

class LMPhotoSelectView : public platform::ui::View {
 public:
  using View::View;
  static std::shared_ptr<LMPhotoSelectView> create(const platform::ui::Rect& frame,
                                                   std::vector<platform::ui::Image> photos);

  // The chosen photo's index; -1 for none.
  int selectIndex() const { return selectIndex_; }
  const std::vector<platform::ui::Image>& photoArray() const { return photos_; }
  const std::shared_ptr<platform::ui::Label>& titleLabel() const { return titleLabel_; }
  const std::vector<std::shared_ptr<LMPhotoButton>>& photoButtons() const { return buttons_; }

  void photoButtonPressed(platform::ui::Control& button);

 private:
  int selectIndex_ = 0;
  std::vector<platform::ui::Image> photos_;
  std::shared_ptr<platform::ui::Label> titleLabel_ = std::make_shared<platform::ui::Label>();
  std::vector<std::shared_ptr<LMPhotoButton>> buttons_;
};

}  // namespace lumora
