#include "platform/addressbook/Types.h"

#include "platform/addressbook/PropertyValue.h"

namespace platform::addressbook {

PropertyType propertyType(PersonProperty property) {
  switch (property) {
    case PersonProperty::Birthday:
    case PersonProperty::CreationDate:
    case PersonProperty::ModificationDate:
      return PropertyType::Date;
    case PersonProperty::Kind:
      return PropertyType::Integer;
    case PersonProperty::Email:
    case PersonProperty::Phone:
    case PersonProperty::URL:
    case PersonProperty::RelatedNames:
      return PropertyType::MultiString;
    case PersonProperty::Date:
      return PropertyType::MultiDate;
    case PersonProperty::Address:
    case PersonProperty::InstantMessage:
    case PersonProperty::SocialProfile:
      return PropertyType::MultiDictionary;
    default:
      return PropertyType::String;
  }
}

std::string_view propertyName(PersonProperty property) {
  switch (property) {
    case PersonProperty::FirstName: return "FirstName";
    case PersonProperty::LastName: return "LastName";
    case PersonProperty::MiddleName: return "MiddleName";
    case PersonProperty::Prefix: return "Prefix";
    case PersonProperty::Suffix: return "Suffix";
    case PersonProperty::Nickname: return "Nickname";
    case PersonProperty::FirstNamePhonetic: return "FirstNamePhonetic";
    case PersonProperty::LastNamePhonetic: return "LastNamePhonetic";
    case PersonProperty::MiddleNamePhonetic: return "MiddleNamePhonetic";
    case PersonProperty::Organization: return "Organization";
    case PersonProperty::Department: return "Department";
    case PersonProperty::JobTitle: return "JobTitle";
    case PersonProperty::Note: return "Note";
    case PersonProperty::Birthday: return "Birthday";
    case PersonProperty::CreationDate: return "CreationDate";
    case PersonProperty::ModificationDate: return "ModificationDate";
    case PersonProperty::Kind: return "Kind";
    case PersonProperty::Email: return "Email";
    case PersonProperty::Phone: return "Phone";
    case PersonProperty::URL: return "URL";
    case PersonProperty::RelatedNames: return "RelatedNames";
    case PersonProperty::Date: return "Date";
    case PersonProperty::Address: return "Address";
    case PersonProperty::InstantMessage: return "InstantMessage";
    case PersonProperty::SocialProfile: return "SocialProfile";
  }
  return "";
}

bool isWritable(PersonProperty property) {
  return property != PersonProperty::CreationDate && property != PersonProperty::ModificationDate;
}

PropertyType valueType(const PropertyValue& value) {
  switch (value.index()) {
    case 0: return PropertyType::String;
    case 1: return PropertyType::Date;
    case 2: return PropertyType::Integer;
    case 3: return PropertyType::MultiString;
    case 4: return PropertyType::MultiDate;
    default: return PropertyType::MultiDictionary;
  }
}

}  // namespace platform::addressbook
