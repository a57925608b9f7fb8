#include "platform/addressbookui/PersonViewController.h"

#include <chrono>

#include <fmt/format.h>

#include "platform/addressbook/Labels.h"
#include "platform/ui/Color.h"

namespace platform::addressbookui {
namespace {

std::string personCardDateText(const addressbook::Date& date) {
  auto days = std::chrono::floor<std::chrono::days>(date);
  std::chrono::year_month_day ymd{days};
  return fmt::format("{:04}-{:02}-{:02}", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                     static_cast<unsigned>(ymd.day()));
}

std::string personCardLabel(const std::optional<std::string>& label, addressbook::PersonProperty property) {
  if (label && !label->empty()) return addressbook::localizedLabel(*label);
  return std::string(addressbook::propertyName(property));
}

}  // namespace

std::vector<PersonViewController::Row> PersonViewController::rows() const {
  using addressbook::PropertyType;
  std::vector<Row> rows;
  if (!person_ || !person_.isPerson()) return rows;
  for (auto property : properties_) {
    switch (addressbook::propertyType(property)) {
      case PropertyType::String:
        if (auto text = person_.stringValue(property)) rows.push_back({personCardLabel({}, property), *text});
        break;
      case PropertyType::Date:
        if (auto date = person_.dateValue(property)) rows.push_back({personCardLabel({}, property), personCardDateText(*date)});
        break;
      case PropertyType::Integer:
        break;
      case PropertyType::MultiString:
        if (auto values = person_.multiStringValue(property)) {
          for (const auto& entry : *values) rows.push_back({personCardLabel(entry.label, property), entry.value});
        }
        break;
      case PropertyType::MultiDate:
        if (auto values = person_.multiDateValue(property)) {
          for (const auto& entry : *values) rows.push_back({personCardLabel(entry.label, property), personCardDateText(entry.value)});
        }
        break;
      case PropertyType::MultiDictionary:
        if (auto values = person_.multiDictionaryValue(property)) {
          for (const auto& entry : *values) {
            std::string text;
            for (const auto& [key, part] : entry.value) {
              if (part.empty()) continue;
              if (!text.empty()) text += ", ";
              text += part;
            }
            rows.push_back({personCardLabel(entry.label, property), text});
          }
        }
        break;
    }
  }
  return rows;
}

void PersonViewController::viewDidLoad() {
  auto self = std::static_pointer_cast<PersonViewController>(shared_from_this());
  table_ = std::make_shared<ui::TableView>(view()->bounds());
  table_->setRowHeight(56);
  table_->setDataSource(std::weak_ptr<ui::TableViewDataSource>(self));
  table_->registerCell("personValueCell", [] {
    auto cell = std::make_shared<ui::TableViewCell>("personValueCell");
    cell->textLabel()->setNumberOfLines(2);
    return cell;
  });
  view()->addSubview(table_);
  rows_ = rows();
  table_->reloadData();
}

void PersonViewController::viewWillAppear(bool animated) {
  ViewController::viewWillAppear(animated);
  rows_ = rows();
  if (table_) table_->reloadData();
}

std::shared_ptr<ui::TableViewCell> PersonViewController::cellForRowAtIndexPath(ui::TableView& table,
                                                                                ui::IndexPath path) {
  auto cell = table.dequeueReusableCell("personValueCell");
  if (!cell || path.row >= static_cast<int>(rows_.size())) return cell;
  const Row& row = rows_[static_cast<std::size_t>(path.row)];
  cell->textLabel()->setText(row.label + "\n" + row.value);
  return cell;
}

}  // namespace platform::addressbookui
