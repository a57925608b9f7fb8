#include "platform/addressbook/Record.h"

#include <mutex>
#include <type_traits>

#include "platform/media/Image.h"
#include "platform/addressbook/BookState.h"

namespace platform::addressbook {

namespace {

using detail::BookState;
using detail::Node;

std::unique_lock<std::recursive_mutex> lockOf(const std::shared_ptr<BookState>& book) {
  return book ? std::unique_lock<std::recursive_mutex>(book->mutex) : std::unique_lock<std::recursive_mutex>();
}

const std::string* stringIn(const Node& node, PersonProperty property) {
  auto it = node.values.find(property);
  if (it == node.values.end()) return nullptr;
  const auto* s = std::get_if<std::string>(&it->second);
  return s && !s->empty() ? s : nullptr;
}

std::optional<std::string> personCompositeName(const Node& node) {
  const std::string* organization = stringIn(node, PersonProperty::Organization);
  auto kind = node.values.find(PersonProperty::Kind);
  if (organization && kind != node.values.end() &&
      std::get_if<std::int32_t>(&kind->second) &&
      std::get<std::int32_t>(kind->second) == static_cast<std::int32_t>(PersonKind::Organization)) {
    return *organization;
  }
  std::string name;
  for (auto property : {PersonProperty::Prefix, PersonProperty::FirstName, PersonProperty::MiddleName,
                        PersonProperty::LastName, PersonProperty::Suffix}) {
    if (const std::string* part = stringIn(node, property)) {
      if (!name.empty()) name += ' ';
      name += *part;
    }
  }
  if (!name.empty()) return name;
  if (organization) return *organization;
  if (const std::string* nickname = stringIn(node, PersonProperty::Nickname)) return *nickname;
  return std::nullopt;
}

bool isEmptyMultiValue(const PropertyValue& value) {
  return std::visit(
      [](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string> || std::is_same_v<V, Date> || std::is_same_v<V, std::int32_t>) {
          return false;
        } else {
          return v.empty();
        }
      },
      value);
}

template <class T>
std::optional<T> typed(const std::optional<PropertyValue>& value) {
  if (!value) return std::nullopt;
  if (const T* v = std::get_if<T>(&*value)) return *v;
  return std::nullopt;
}

}  // namespace

RecordId Record::id() const {
  auto lock = lockOf(book_);
  return node_ ? node_->id : kInvalidRecordId;
}

std::optional<RecordType> Record::type() const {
  if (!node_) return std::nullopt;
  return node_->type;  // fixed when the record is made
}

bool Record::isInAddressBook() const {
  auto lock = lockOf(book_);
  return node_ && node_->live;
}

std::optional<std::string> Record::compositeName() const {
  auto lock = lockOf(book_);
  if (!node_) return std::nullopt;
  if (node_->type == RecordType::Person) return personCompositeName(*node_);
  return node_->name;
}

Record Record::source() const {
  auto lock = lockOf(book_);
  if (!node_ || !node_->source) return Record();
  return Record(book_, node_->source);
}

std::optional<PropertyValue> Record::value(PersonProperty property) const {
  auto lock = lockOf(book_);
  if (!node_ || node_->type != RecordType::Person) return std::nullopt;
  auto it = node_->values.find(property);
  if (it == node_->values.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> Record::stringValue(PersonProperty property) const {
  return typed<std::string>(value(property));
}
std::optional<Date> Record::dateValue(PersonProperty property) const { return typed<Date>(value(property)); }
std::optional<std::int32_t> Record::integerValue(PersonProperty property) const {
  return typed<std::int32_t>(value(property));
}
std::optional<MultiValue<std::string>> Record::multiStringValue(PersonProperty property) const {
  return typed<MultiValue<std::string>>(value(property));
}
std::optional<MultiValue<Date>> Record::multiDateValue(PersonProperty property) const {
  return typed<MultiValue<Date>>(value(property));
}
std::optional<MultiValue<Dictionary>> Record::multiDictionaryValue(PersonProperty property) const {
  return typed<MultiValue<Dictionary>>(value(property));
}

Status Record::setValue(PersonProperty property, PropertyValue value) {
  if (!node_ || node_->type != RecordType::Person) return BookState::notPermitted("Not a person.");
  if (!isWritable(property)) return BookState::notPermitted("The property is read-only.");
  if (valueType(value) != propertyType(property)) {
    return BookState::notPermitted("The value does not have the property's type.");
  }
  if (property == PersonProperty::Kind) {
    auto kind = std::get<std::int32_t>(value);
    if (kind != static_cast<std::int32_t>(PersonKind::Person) &&
        kind != static_cast<std::int32_t>(PersonKind::Organization)) {
      return BookState::notPermitted("Unknown person kind.");
    }
  }
  if (isEmptyMultiValue(value)) return removeValue(property);
  auto lock = lockOf(book_);
  if (!book_->ownsLive(*this)) return BookState::notPermitted("The record is not in the address book.");
  if (auto st = book_->checkWrite(book_, WriteOperation::SetValue, node_, property); !st) return st;
  auto it = node_->values.find(property);
  if (it != node_->values.end() && it->second == value) return Status::success();
  node_->values.insert_or_assign(property, std::move(value));
  node_->dirty.insert(property);
  book_->noteEdit(node_);
  return Status::success();
}

Status Record::removeValue(PersonProperty property) {
  if (!node_ || node_->type != RecordType::Person) return BookState::notPermitted("Not a person.");
  if (!isWritable(property)) return BookState::notPermitted("The property is read-only.");
  auto lock = lockOf(book_);
  if (!book_->ownsLive(*this)) return BookState::notPermitted("The record is not in the address book.");
  if (auto st = book_->checkWrite(book_, WriteOperation::RemoveValue, node_, property); !st) return st;
  if (node_->values.erase(property) > 0) {
    node_->dirty.insert(property);
    book_->noteEdit(node_);
  }
  return Status::success();
}

bool Record::hasImageData() const {
  auto lock = lockOf(book_);
  return node_ && node_->type == RecordType::Person && node_->hasImage;
}

std::optional<Bytes> Record::imageData(ImageFormat format) const {
  std::optional<Bytes> original;
  {
    auto lock = lockOf(book_);
    if (!node_ || node_->type != RecordType::Person) return std::nullopt;
    auto image = book_->loadImage(*node_);
    if (!image || !*image) return std::nullopt;
    original = std::move(**image);
  }
  if (format == ImageFormat::OriginalSize) return original;
  // A contact's photo may have come from the cloud: bounded in pixels and
  // shrunk as it loads, like every picture from elsewhere.
  auto picture = Image::shownImageWithData(std::move(*original), kThumbnailSide, kThumbnailSide);
  if (!picture) return std::nullopt;
  auto thumbnail = picture->scaledToFill(kThumbnailSide, kThumbnailSide);
  if (!thumbnail) return std::nullopt;
  auto jpeg = thumbnail->JPEGRepresentation();
  if (!jpeg) return std::nullopt;
  return std::move(jpeg.value());
}

Status Record::setImageData(Bytes data) {
  if (data.empty()) return removeImageData();
  if (!node_ || node_->type != RecordType::Person) return BookState::notPermitted("Not a person.");
  auto lock = lockOf(book_);
  if (!book_->ownsLive(*this)) return BookState::notPermitted("The record is not in the address book.");
  if (auto st = book_->checkWrite(book_, WriteOperation::SetImage, node_); !st) return st;
  node_->image = std::move(data);
  node_->hasImage = true;
  node_->imageLoaded = true;
  node_->imageDirty = true;
  book_->noteEdit(node_);
  return Status::success();
}

Status Record::removeImageData() {
  if (!node_ || node_->type != RecordType::Person) return BookState::notPermitted("Not a person.");
  auto lock = lockOf(book_);
  if (!book_->ownsLive(*this)) return BookState::notPermitted("The record is not in the address book.");
  if (auto st = book_->checkWrite(book_, WriteOperation::RemoveImage, node_); !st) return st;
  if (!node_->hasImage) return Status::success();
  node_->image.reset();
  node_->hasImage = false;
  node_->imageLoaded = true;
  node_->imageDirty = true;
  book_->noteEdit(node_);
  return Status::success();
}

std::vector<Record> Record::linkedPeople() const {
  auto lock = lockOf(book_);
  if (!node_ || node_->type != RecordType::Person) return {};
  if (node_->linkTag == 0 || !node_->live) return {*this};
  std::vector<Record> out;
  for (const auto& n : book_->liveNodes(RecordType::Person)) {
    if (n->linkTag == node_->linkTag) out.push_back(Record(book_, n));
  }
  return out;
}

std::optional<std::string> Record::name() const {
  auto lock = lockOf(book_);
  if (!node_ || node_->type == RecordType::Person) return std::nullopt;
  return node_->name;
}

Status Record::setName(std::string name) {
  if (!node_ || node_->type != RecordType::Group) return BookState::notPermitted("Only a group can be renamed.");
  auto lock = lockOf(book_);
  if (!book_->ownsLive(*this)) return BookState::notPermitted("The record is not in the address book.");
  if (auto st = book_->checkWrite(book_, WriteOperation::SetName, node_); !st) return st;
  if (node_->name == name) return Status::success();
  node_->name = std::move(name);
  node_->nameDirty = true;
  book_->noteEdit(node_);
  return Status::success();
}

std::optional<SourceKind> Record::sourceKind() const {
  if (!node_ || node_->type != RecordType::Source) return std::nullopt;
  auto lock = lockOf(book_);
  return node_->kind;
}

std::vector<Record> Record::members() const {
  auto lock = lockOf(book_);
  if (!node_ || node_->type != RecordType::Group) return {};
  std::vector<Record> out;
  for (const auto& m : node_->members) {
    if (m->live) out.push_back(Record(book_, m));
  }
  return out;
}

Status Record::addMember(const Record& person) {
  if (!node_ || node_->type != RecordType::Group) return BookState::notPermitted("Not a group.");
  if (!person.node_ || person.node_->type != RecordType::Person) return BookState::notPermitted("Not a person.");
  auto lock = lockOf(book_);
  if (!book_->ownsLive(*this) || !book_->ownsLive(person)) {
    return BookState::notPermitted("The record is not in the address book.");
  }
  if (person.node_->source != node_->source) {
    return BookState::notPermitted("The person and the group are in different sources.");
  }
  if (auto st = book_->checkWrite(book_, WriteOperation::AddMember, node_); !st) return st;
  book_->addMember(node_, person.node_);
  return Status::success();
}

Status Record::removeMember(const Record& person) {
  if (!node_ || node_->type != RecordType::Group) return BookState::notPermitted("Not a group.");
  if (!person.node_ || person.node_->type != RecordType::Person) return BookState::notPermitted("Not a person.");
  auto lock = lockOf(book_);
  if (!book_->ownsLive(*this) || person.book_ != book_) {
    return BookState::notPermitted("The record is not in the address book.");
  }
  if (auto st = book_->checkWrite(book_, WriteOperation::RemoveMember, node_); !st) return st;
  book_->removeMember(node_, person.node_);
  return Status::success();
}

}  // namespace platform::addressbook
