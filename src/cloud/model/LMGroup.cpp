#include "cloud/model/LMGroup.h"

#include <limits>

#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/JsonValues.h"

namespace lumora {

std::optional<LMGroup> LMGroup::initWithLumoraJSON(const platform::Json& content) {
  LMGroup group;
  if (!group.readLumoraJSON(content)) return std::nullopt;
  platform::Json& rest = group.extensionData;
  auto title = rest.find(kLMGroupTitleKey);
  if (title != rest.end() && platform::isNonEmptyString(*title)) {
    group.name = title->get<std::string>();
    rest.erase(title);
  } else {
    group.name = kLMGroupDefaultName;
  }
  return group;
}

std::optional<LMGroup> LMGroup::initWithABRecord(const platform::addressbook::Record& record) {
  LMGroup group;
  if (!group.readABRecord(record) || !record.isGroup()) return std::nullopt;
  group.memberIDs.clear();
  group.setMemberIDArrayWithRecord(record);
  return group;
}

void LMGroup::setMemberIDArrayWithRecord(const platform::addressbook::Record& group) {
  for (const platform::addressbook::Record& person : group.members()) {
    memberIDs.insert(person.id());
  }
}

platform::Status LMGroup::mergeToLocalRecord(platform::addressbook::Record record) const {
  if (record.isNull() || !record.isGroup()) return platform::Status::success();
  if (!name || name->empty()) return platform::Status::success();
  platform::Status written = record.setName(*name);
  if (written.ok()) return platform::Status::success();
  platform::Error error = LMUtils::errorFromABAddressBookError(written.error());
  LM_LOG_ERROR("{}", error.description());
  return error;
}

LMGroup LMGroup::initWithCoder(const platform::KeyedArchive& coder) {
  LMGroup group;
  group.type = kLMRecordTypeLocal;
  if (auto id = coder.decodeInt64(kLMGroupIDKey)) {
    if (*id >= std::numeric_limits<std::int32_t>::min() &&
        *id <= std::numeric_limits<std::int32_t>::max()) {
      group.recordID = static_cast<std::int32_t>(*id);
    }
  }
  group.name = coder.decodeString(kLMGroupNameKey);
  if (const auto* members = coder.decodeArray(kLMGroupMemberSetKey)) {
    for (const platform::ArchiveValue& member : *members) {
      const std::int64_t* id = member.asInt64();
      if (id != nullptr && *id >= std::numeric_limits<std::int32_t>::min() &&
          *id <= std::numeric_limits<std::int32_t>::max()) {
        group.memberIDs.insert(static_cast<std::int32_t>(*id));
      }
    }
  }
  return group;
}

void LMGroup::encodeWithCoder(platform::KeyedArchive& coder) const {
  if (recordID) coder.encodeInt64(kLMGroupIDKey, *recordID);
  if (name) coder.encodeString(kLMGroupNameKey, *name);
  platform::ArchiveValue::Array members;
  for (std::int32_t id : memberIDs) members.emplace_back(id);
  coder.encodeArray(kLMGroupMemberSetKey, std::move(members));
}

platform::Json LMGroup::dictionaryForLumoraJSON() const {
  platform::Json envelope = LMRecord::dictionaryForLumoraJSON();
  envelope[kLMRecordTypeKey] = "group";
  if (name && !name->empty()) envelope[kLMRecordContentKey][kLMGroupTitleKey] = *name;
  return envelope;
}

bool LMGroup::isOfMyClass(const LMRecord& other) const {
  return dynamic_cast<const LMGroup*>(&other) != nullptr;
}

}  // namespace lumora
