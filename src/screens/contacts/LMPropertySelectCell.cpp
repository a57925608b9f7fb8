#include "screens/contacts/LMPropertySelectCell.h"

#include "platform/ui/Color.h"
#include "platform/ui/Image.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/TextMeasurer.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

const platform::Json* propertyCellValues(const platform::Json& entry) {
  auto key = LMPropertySelectCell::propertyKey(entry);
  if (key.empty()) return nullptr;
  const auto& values = entry[key];
  return values.is_array() ? &values : nullptr;
}

bool propertyCellIsMultiple(const platform::Json& entry) {
  auto type = entry.find("type");
  return type != entry.end() && type->is_number_integer() && type->get<int>() == kLMMergePropertyList;
}

}  // namespace

std::shared_ptr<LMPropertySelectCell> LMPropertySelectCell::create(const std::string& reuseIdentifier) {
  auto cell = std::make_shared<LMPropertySelectCell>(reuseIdentifier);
  cell->TableViewCell::layoutSubviews();
  cell->setBackgroundColor(ui::Color::clear());
  cell->contentView()->setBackgroundColor(ui::Color::clear());
  cell->textLabel()->setHidden(true);
  cell->titleLabel_->setTextColor(ui::colorWithHexString("6d6d72"));
  cell->titleLabel_->setFont(ui::Font::boldSystemFont(13));
  cell->greyView_->setBackgroundColor(ui::colorWithHexString("c8c7cc"));
  cell->whiteStrip_->setBackgroundColor(ui::Color::white());
  cell->contentView()->addSubview(cell->titleLabel_);
  cell->contentView()->addSubview(cell->greyView_);
  cell->greyView_->addSubview(cell->whiteStrip_);  // behind the value buttons
  return cell;
}

std::string LMPropertySelectCell::propertyKey(const platform::Json& entry) {
  if (!entry.is_object()) return {};
  for (const auto& [key, value] : entry.items()) {
    if (key != "type" && key != "selected") return key;
  }
  return {};
}

platform::Json* LMPropertySelectCell::entry() const {
  if (!group_ || !group_->mergePropertyArray.is_array() || index_ >= group_->mergePropertyArray.size()) {
    return nullptr;
  }
  auto& found = group_->mergePropertyArray[index_];
  return found.is_object() && found.contains("type") ? &found : nullptr;
}

void LMPropertySelectCell::showSelected(LMCustomButton& button, bool selected) {
  button.setSelected(selected);
  button.setImage(ui::Image::imageNamed(selected ? "确认合并.png" : "未合并.png"));
}

void LMPropertySelectCell::setPropertyDic(std::shared_ptr<LMMergeManagedObject> group, std::size_t index) {
  group_ = std::move(group);
  index_ = index;
  platform::Json* dic = entry();
  if (!dic) return;
  bool multiple = propertyCellIsMultiple(*dic);
  std::string key = propertyKey(*dic);
  titleLabel_->setText(ui::stringWithFormat(
      "%@（%@）", {ui::localizedString(key), ui::localizedString(multiple ? "多选" : "单选")}));
  lastSelectedIndex_ = -1;
  const platform::Json* values = propertyCellValues(*dic);
  std::size_t count = values ? values->size() : 0;
  int selected = 0;
  if (!multiple) {
    auto stored = dic->find("selected");
    if (stored != dic->end() && stored->is_number_integer()) selected = stored->get<int>();
    lastSelectedIndex_ = selected;
  }
  auto self = std::static_pointer_cast<LMPropertySelectCell>(shared_from_this());
  for (std::size_t i = 0; i < count; ++i) {
    if (i == buttons_.size()) {
      auto button = LMCustomButton::create();
      button->setNormalBackgroundColor(ui::Color::white());
      button->setHighlightedBackgroundColor(ui::colorWithHexString("ebebeb"));
      button->titleLabel()->setFont(ui::Font::boldSystemFont(17));
      button->titleLabel()->setTextAlignment(ui::TextAlignment::Left);
      button->setTitleColor(ui::Color::black());
      button->setImageRect({0, 0, 40, 50});
      button->addTarget(self, &LMPropertySelectCell::buttonPressed, ui::kControlEventTouchUpInside);
      buttons_.push_back(button);
      greyView_->addSubview(button);
    }
    auto& button = buttons_[i];
    const auto& item = (*values)[i];
    std::string display = item.is_object() && item.contains("display") && item["display"].is_string()
                              ? item["display"].get<std::string>()
                              : std::string();
    button->setTitle(display);
    ui::Size size = ui::TextMeasurer::current()->measure(display, ui::Font::boldSystemFont(17), 0, 1);
    button->setTitleRect({40, (50 - size.height) / 2, size.width, size.height});
    button->setTag(static_cast<int>(i));
    showSelected(*button, multiple || static_cast<int>(i) == selected);
  }
  while (buttons_.size() > count) {
    buttons_.back()->removeFromSuperview();
    buttons_.pop_back();
  }
  setNeedsLayout();
}

void LMPropertySelectCell::buttonPressed(ui::Control& control) {
  platform::Json* dic = entry();
  if (!dic) return;
  auto& button = static_cast<LMCustomButton&>(control);
  if (propertyCellIsMultiple(*dic)) {
    showSelected(button, !button.isSelected());
  } else {
    int tapped = button.tag();
    if (tapped != lastSelectedIndex_) {
      showSelected(button, true);
      if (lastSelectedIndex_ >= 0 && lastSelectedIndex_ < static_cast<int>(buttons_.size())) {
        showSelected(*buttons_[static_cast<std::size_t>(lastSelectedIndex_)], false);
      }
    }
    lastSelectedIndex_ = tapped;
    (*dic)["selected"] = tapped;
  }
  auto delegate = delegate_.lock();
  if (delegate && delegate->didPropertySelectCellChange) delegate->didPropertySelectCellChange(*this);
}

platform::Json LMPropertySelectCell::finalPropertyDic() const {
  platform::Json* dic = entry();
  if (!dic) return nullptr;
  platform::Json chosen = *dic;
  std::string key = propertyKey(*dic);
  platform::Json values = platform::Json::array();
  const platform::Json* all = propertyCellValues(*dic);
  for (std::size_t i = 0; all && i < all->size() && i < buttons_.size(); ++i) {
    if (buttons_[i]->isSelected()) values.push_back((*all)[i]);
  }
  chosen[key] = std::move(values);
  return chosen;
}

void LMPropertySelectCell::layoutSubviews() {
  TableViewCell::layoutSubviews();
  double w = frame().width;
  titleLabel_->setFrame({15, 0, 300, 35});
  greyView_->setFrame({0, 35, w, 51.0 * static_cast<double>(buttons_.size()) + 1});
  for (std::size_t i = 0; i < buttons_.size(); ++i) {
    buttons_[i]->setFrame({0, 1 + 51.0 * static_cast<double>(i), w, 50});
    buttons_[i]->setTitleRect({40, 0, w - 55, 50});
  }
  // Keeps the grey lines from reaching the left edge behind the check images.
  whiteStrip_->setFrame({0, 1, 40, buttons_.empty() ? 0 : 51.0 * static_cast<double>(buttons_.size()) - 1});
  whiteStrip_->setUserInteractionEnabled(false);
}

}  // namespace lumora
