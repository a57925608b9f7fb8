#include "screens/contacts/LMContactButton.h"

#include <string_view>

#include "platform/ui/Color.h"
#include "platform/ui/Resources.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

// The "value" of list item `index`, when it is a text (else empty), as the
// list holds it.
std::string_view contactTileValue(const platform::Json& list, std::size_t index) {
  if (!list.is_array() || index >= list.size() || !list[index].is_object()) return {};
  const platform::Json& item = list[index];
  auto found = item.find("value");
  if (found == item.end() || !found->is_string()) return {};
  return found->get_ref<const std::string&>();
}

// The first value, then " / " and the second: empty when the first is.
std::string contactTileLine(const platform::Json& list) {
  const std::string_view first = contactTileValue(list, 0);
  if (first.empty()) return {};
  const std::string_view second = contactTileValue(list, 1);
  std::string text;
  text.reserve(first.size() + 3 + second.size());
  text += first;
  if (!second.empty()) {
    text += " / ";
    text += second;
  }
  return text;
}

}  // namespace

std::shared_ptr<LMContactButton> LMContactButton::create() {
  auto tile = std::make_shared<LMContactButton>();
  tile->setBackgroundColor(ui::Color::white());
  tile->nameLabel_->setFont(ui::Font::boldSystemFont(17));
  tile->mergePropertyLabel_->setFont(ui::Font::systemFont(12));
  tile->mergePropertyLabel_->setTextColor(ui::colorWithHexString("8f8f95"));
  tile->mergedLabel_->setFont(ui::Font::systemFont(15));
  tile->mergedLabel_->setTextColor(ui::Color{1, 0, 0, 1});
  tile->mergedLabel_->setTextAlignment(ui::TextAlignment::Right);
  tile->mergedLabel_->setText(ui::localizedString("已合并"));
  for (const auto& label : {tile->nameLabel_, tile->mergePropertyLabel_, tile->mergedLabel_}) {
    label->setUserInteractionEnabled(false);
    tile->addSubview(label);
  }
  return tile;
}

void LMContactButton::setContact(const LMContact& contact, std::int32_t propertyType) {
  setContact(std::make_shared<const LMContact>(contact), propertyType);
}

void LMContactButton::setContact(std::shared_ptr<const LMContact> shown, std::int32_t propertyType) {
  (void)propertyType;
  if (!shown) return;
  contact_ = std::move(shown);
  const LMContact& contact = *contact_;
  nameLabel_->setText("");
  mergePropertyLabel_->setText("");
  std::string phones = contactTileLine(contact.phoneNumberArray);
  std::string emails = contactTileLine(contact.emailArray);
  if (contact.name && !contact.name->empty()) {
    nameLabel_->setText(*contact.name);
    mergePropertyLabel_->setText(!phones.empty() ? phones : emails);
  } else if (!emails.empty()) {
    nameLabel_->setText(std::string(contactTileValue(contact.emailArray, 0)));
    mergePropertyLabel_->setText(phones);
  } else if (!phones.empty()) {
    nameLabel_->setText(std::string(contactTileValue(contact.phoneNumberArray, 0)));
  } else {
    nameLabel_->setText(ui::localizedString("无名称"));
  }
  setNeedsLayout();
}

void LMContactButton::layoutSubviews() {
  double w = frame().width;
  if (!mergePropertyLabel_->text().empty()) {
    mergePropertyLabel_->setHidden(false);
    mergePropertyLabel_->setFrame({0, 24, w - 10, 25});
    nameLabel_->setFrame({0, 2, w - 10, 25});
  } else {
    mergePropertyLabel_->setHidden(true);
    nameLabel_->setFrame({0, 0, w - 10, 50});
  }
  mergedLabel_->setFrame({w - 110, 0, 100, 50});
}

}  // namespace lumora
