#include "platform/addressbookui/PersonViewController.h"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "platform/addressbook/Labels.h"
#include "platform/ui/Color.h"
#include "platform/ui/Resources.h"

namespace platform::addressbookui {
namespace {

std::string personCardDateText(const addressbook::Date& date) {
  auto days = std::chrono::floor<std::chrono::days>(date);
  std::chrono::year_month_day ymd{days};
  return fmt::format("{:04}-{:02}-{:02}", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                     static_cast<unsigned>(ymd.day()));
}

// The word a property goes by on the card (looked up in the app's string
// tables); nullopt for the ones the card never shows.
std::optional<std::string> propertyWord(addressbook::PersonProperty property) {
  using addressbook::PersonProperty;
  switch (property) {
    case PersonProperty::FirstName: return "first name";
    case PersonProperty::LastName: return "last name";
    case PersonProperty::MiddleName: return "middle name";
    case PersonProperty::Prefix: return "prefix";
    case PersonProperty::Suffix: return "suffix";
    case PersonProperty::Nickname: return "nickname";
    case PersonProperty::FirstNamePhonetic: return "phonetic first name";
    case PersonProperty::LastNamePhonetic: return "phonetic last name";
    case PersonProperty::MiddleNamePhonetic: return "phonetic middle name";
    case PersonProperty::Organization: return "company";
    case PersonProperty::Department: return "department";
    case PersonProperty::JobTitle: return "job title";
    case PersonProperty::Note: return "note";
    case PersonProperty::Birthday: return "birthday";
    case PersonProperty::Email: return "email";
    case PersonProperty::Phone: return "phone";
    case PersonProperty::URL: return "url";
    case PersonProperty::RelatedNames: return "related name";
    case PersonProperty::Date: return "date";
    case PersonProperty::Address: return "address";
    case PersonProperty::InstantMessage: return "instant message";
    case PersonProperty::SocialProfile: return "social profile";
    case PersonProperty::CreationDate:
    case PersonProperty::ModificationDate:
    case PersonProperty::Kind:
      break;
  }
  return std::nullopt;
}

}  // namespace

std::string PersonViewController::labelText(const std::optional<std::string>& label,
                                            addressbook::PersonProperty property) {
  if (label && !label->empty()) {
    // The address book's own labels have their words in the tables; a
    // label the user typed shows as typed.
    const std::string word = addressbook::localizedLabel(*label);
    return word == *label ? word : ui::localizedString(word);
  }
  if (auto word = propertyWord(property)) return ui::localizedString(*word);
  return std::string(addressbook::propertyName(property));
}

std::string PersonViewController::name() const {
  if (!person_ || !person_.isPerson()) return {};
  return person_.compositeName().value_or("");
}

std::vector<PersonViewController::Row> PersonViewController::rows() const {
  using addressbook::PropertyType;
  std::vector<Row> rows;
  if (!person_ || !person_.isPerson()) return rows;
  for (auto property : properties_) {
    switch (addressbook::propertyType(property)) {
      case PropertyType::String:
        if (auto text = person_.stringValue(property)) rows.push_back({labelText({}, property), *text});
        break;
      case PropertyType::Date:
        if (auto date = person_.dateValue(property)) rows.push_back({labelText({}, property), personCardDateText(*date)});
        break;
      case PropertyType::Integer:
        break;
      case PropertyType::MultiString:
        if (auto values = person_.multiStringValue(property)) {
          for (const auto& entry : *values) rows.push_back({labelText(entry.label, property), entry.value});
        }
        break;
      case PropertyType::MultiDate:
        if (auto values = person_.multiDateValue(property)) {
          for (const auto& entry : *values) rows.push_back({labelText(entry.label, property), personCardDateText(entry.value)});
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
            rows.push_back({labelText(entry.label, property), text});
          }
        }
        break;
    }
  }
  return rows;
}

void PersonViewController::viewDidLoad() {
  auto self = std::static_pointer_cast<PersonViewController>(shared_from_this());
  nameLabel_ = std::make_shared<ui::Label>();
  nameLabel_->setFont(ui::Font::boldSystemFont(20));
  nameLabel_->setTextColor(ui::Color::black());
  view()->addSubview(nameLabel_);
  table_ = std::make_shared<ui::TableView>(view()->bounds());
  table_->setRowHeight(56);
  table_->setDataSource(std::weak_ptr<ui::TableViewDataSource>(self));
  table_->registerCell("personValueCell", [] {
    auto cell = std::make_shared<ui::TableViewCell>("personValueCell");
    cell->textLabel()->setNumberOfLines(2);
    return cell;
  });
  view()->addSubview(table_);
  viewWillLayoutSubviews();
  nameLabel_->setText(name());
  rows_ = rows();
  table_->reloadData();
}

void PersonViewController::viewWillAppear(bool animated) {
  ViewController::viewWillAppear(animated);
  if (nameLabel_) nameLabel_->setText(name());
  rows_ = rows();
  if (table_) table_->reloadData();
}

void PersonViewController::viewWillLayoutSubviews() {
  if (!table_) return;
  constexpr double kNameHeight = 60;
  constexpr double kMargin = 15;
  const ui::Rect b = view()->bounds();
  nameLabel_->setFrame({kMargin, 0, std::max(0.0, b.width - 2 * kMargin), kNameHeight});
  table_->setFrame({0, kNameHeight, b.width, std::max(0.0, b.height - kNameHeight)});
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
