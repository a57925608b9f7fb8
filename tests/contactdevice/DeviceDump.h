// What two synced address books (and the cloud) must agree on, in one JSON
// form that all three sides are read into: {"people": {name: {"note",
// "phones", "emails"}}, "groups": {title: [member names]}, "duplicates":
// [names met twice]}. Shared by the contact device helper and the tests
// that compare devices.
#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cloud/model/LMContact.h"
#include "cloud/model/LMGroup.h"

namespace contactdevice {

using Json = nlohmann::json;

inline Json sortedValues(const Json& list) {
  std::vector<std::string> values;
  if (list.is_array()) {
    for (const Json& entry : list) {
      if (entry.is_object() && entry.contains("value") && entry["value"].is_string()) {
        values.push_back(entry["value"].get<std::string>());
      }
    }
  }
  std::sort(values.begin(), values.end());
  return values;
}

// Gathers people and groups into the dump form.
class DumpBuilder {
 public:
  void person(const lumora::LMContact& contact) {
    const std::string name = contact.name.value_or("");
    if (dump_["people"].contains(name)) dump_["duplicates"].push_back(name);
    dump_["people"][name] = Json{{"note", contact.note.value_or("")},
                                 {"phones", sortedValues(contact.phoneNumberArray)},
                                 {"emails", sortedValues(contact.emailArray)}};
  }
  void group(const std::string& title, std::vector<std::string> members) {
    std::sort(members.begin(), members.end());
    if (dump_["groups"].contains(title)) dump_["duplicates"].push_back("group " + title);
    dump_["groups"][title] = members;
  }
  const Json& dump() const { return dump_; }

 private:
  Json dump_ = Json{{"people", Json::object()}, {"groups", Json::object()}, {"duplicates", Json::array()}};
};

}  // namespace contactdevice
