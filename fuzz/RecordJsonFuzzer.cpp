// Contact and group records from the cloud's JSON. The input is one content
// object, an envelope {"content": ...}, or an array of them. Each reads as a
// contact, a group and a bare record; what a record writes back reads as
// the same record and writes the same JSON again (so a record the sync
// sends back is the one it read). Two records of one input are compared
// and merged; the contact's date texts go through the cloud date helpers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cloud/model/LMContact.h"
#include "cloud/model/LMGroup.h"
#include "support/Fuzz.h"
#include "utils/LMUtils.h"

namespace {

using platform::Json;

const Json& contentOf(const Json& value) {
  if (value.is_object()) {
    auto content = value.find("content");
    if (content != value.end() && content->is_object()) return *content;
  }
  return value;
}

// A record read from JSON, written and read again, writes what it wrote.
template <class Record>
void roundTrip(const Record& record) {
  const Json written = record.dictionaryForLumoraJSON();
  FUZZ_CHECK(written.is_object() && written.contains("content"));
  auto reread = Record::initWithLumoraJSON(written["content"]);
  if (!reread) {
    // Only an empty content does not read.
    FUZZ_CHECK(written["content"].empty());
    return;
  }
  FUZZ_CHECK(reread->dictionaryForLumoraJSON() == written);
  FUZZ_CHECK(record.isEqualToRecord(&*reread));
}

void dates(const lumora::LMContact& contact) {
  std::vector<std::string> texts;
  if (contact.birthday) texts.push_back(*contact.birthday);
  if (contact.dateArray.is_array()) {
    for (const auto& item : contact.dateArray) {
      if (item.is_object() && item.contains("value") && item["value"].is_string()) {
        texts.push_back(item["value"].get<std::string>());
      }
    }
  }
  for (const auto& text : texts) {
    (void)lumora::LMUtils::dateStringFromLumoraString(text);
    if (auto day = lumora::LMUtils::dateFromLumoraString(text)) {
      FUZZ_CHECK(lumora::LMUtils::dateFromLumoraString(lumora::LMUtils::stringForLumoraDay(*day)) == day);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Json input = Json::parse(fuzz::text(data, size), nullptr, /*allow_exceptions=*/false);
  if (input.is_discarded()) return 0;
  std::vector<Json> contents;
  if (input.is_array()) {
    for (const auto& item : input) contents.push_back(contentOf(item));
  } else {
    contents.push_back(contentOf(input));
  }

  std::vector<lumora::LMContact> contacts;
  for (const auto& content : contents) {
    if (auto record = lumora::LMRecord::initWithLumoraJSON(content)) (void)record->description();
    if (auto group = lumora::LMGroup::initWithLumoraJSON(content)) {
      roundTrip(*group);
      platform::KeyedArchive archive;
      group->encodeWithCoder(archive);
      (void)lumora::LMGroup::initWithCoder(archive);
    }
    if (auto contact = lumora::LMContact::initWithLumoraJSON(content)) {
      roundTrip(*contact);
      dates(*contact);
      (void)contact->isValid();
      (void)contact->description();
      contacts.push_back(std::move(*contact));
    }
  }
  if (contacts.size() >= 2) {
    lumora::LMContact& first = contacts[0];
    lumora::LMContact& second = contacts[1];
    (void)first.isEqualToRecord(&second);
    (void)first.hasConflictWithContact(&second);
    first.mergeWithRecord(&second);
    (void)first.dictionaryForLumoraJSON();
    (void)second.dictionaryForLumoraJSON();
  }
  return 0;
}
