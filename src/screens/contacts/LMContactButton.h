// The tile of one contact in a duplicate group: the name (or what stands
// for it) in bold, below it the first two phone numbers or e-mail addresses,
// and the red "已合并" mark for a merged group.
//
// Ownership: a view made with create(). Threading: main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "cloud/model/LMContact.h"
#include "platform/ui/Control.h"
#include "platform/ui/Label.h"

namespace lumora {

class LMContactButton : public platform::ui::Control {
 public:
  using Control::Control;
  static std::shared_ptr<LMContactButton> create();

  const std::shared_ptr<platform::ui::Label>& nameLabel() const { return nameLabel_; }
  const std::shared_ptr<platform::ui::Label>& mergePropertyLabel() const { return mergePropertyLabel_; }
  const std::shared_ptr<platform::ui::Label>& mergedLabel() const { return mergedLabel_; }
  const std::shared_ptr<const LMContact>& contact() const { return contact_; }

  // `propertyType` (the group's type) does not change what is shown. The
  // first form keeps a copy of the contact, the second the contact given.
  void setContact(const LMContact& contact, std::int32_t propertyType);
  void setContact(std::shared_ptr<const LMContact> contact, std::int32_t propertyType);
  void layoutSubviews() override;

 private:
  std::shared_ptr<platform::ui::Label> nameLabel_ = std::make_shared<platform::ui::Label>();
  std::shared_ptr<platform::ui::Label> mergePropertyLabel_ = std::make_shared<platform::ui::Label>();
  std::shared_ptr<platform::ui::Label> mergedLabel_ = std::make_shared<platform::ui::Label>();
  std::shared_ptr<const LMContact> contact_;
};

}  // namespace lumora
