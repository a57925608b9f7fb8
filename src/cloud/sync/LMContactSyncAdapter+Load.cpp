// Loading the cloud's changed records: the pager over the record list, and
// recording its result (rows and watermark together) in the store.
#include <map>
#include <utility>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMListingBounds.h"
#include "platform/Bytes.h"
#include "platform/JsonValues.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

constexpr const char* kLoadFailed = "The operation of loading Lumora records is failed";

platform::Error loadError(const std::string& reason) {
  platform::Error error = LMUtils::errorForLumoraUnknownErrorWithUserInfo(
      {{kLMErrorReasonKey, reason}, {kLMErrorDescriptionKey, "Unknown Error"}});
  LM_LOG_ERROR("{}", error.description());
  return error;
}

platform::Error missingParameterError(const char* name) {
  return loadError(std::string("The operation of loading Lumora records is failed, because couldn't find the param \"") +
                   name + "\".");
}

bool isTrue(const platform::Json& value) {
  if (value.is_boolean()) return value.get<bool>();
  return value.is_number() && value.get<double>() != 0;
}

// The records of one listing by cloud id; a later page's version replaces
// an earlier one. The bounds count what every page brought.
struct Listing {
  std::map<std::int64_t, LMContact> contacts;
  std::map<std::int64_t, LMGroup> groups;
  LMListingBounds bounds;

  void clear() {
    contacts.clear();
    groups.clear();
  }

  // False once the listing holds more than its bound.
  bool take(const platform::Json& entries) {
    if (!entries.is_array()) return true;
    for (const platform::Json& entry : entries) {
      if (!entry.is_object()) continue;
      auto content = entry.find(kLMRecordContentKey);
      if (content == entry.end()) continue;
      if (!bounds.hold(*content)) return false;
      const std::optional<std::string> type = platform::stringAt(entry, kLMRecordTypeKey);
      if (type == "group") {
        if (auto group = LMGroup::initWithLumoraJSON(*content); group && group->serverID) {
          groups.insert_or_assign(*group->serverID, std::move(*group));
        }
      } else if (type == "contact") {
        if (auto contact = LMContact::initWithLumoraJSON(*content); contact && contact->serverID) {
          contacts.insert_or_assign(*contact->serverID, std::move(*contact));
        }
      }
    }
    return true;
  }

  template <class Record>
  static std::vector<Record> valuesOf(std::map<std::int64_t, Record>& map) {
    std::vector<Record> values;
    values.reserve(map.size());
    for (auto& [id, record] : map) values.push_back(std::move(record));
    return values;
  }
};

}  // namespace

void LMContactSyncAdapter::requestLumoraRecordsWithSync(std::optional<std::int64_t> syncTag,
                                                        const std::optional<std::string>& syncExtraInfo,
                                                        const RecordsSuccess& success, const Failure& fail) {
  auto failWith = [&fail](const platform::Error& error) {
    if (fail) fail(error);
  };
  // Without the text that goes with a tag the cloud cannot place it: the
  // listing starts from scratch and is the whole cloud.
  LMListingBounds::Watermark from{syncTag.value_or(0), syncExtraInfo};
  bool resync = false;
  if (!platform::hasText(from.extraInfo)) {
    from = LMListingBounds::Watermark{};
    resync = true;
  }

  Listing listing;
  auto refused = [&] { return failWith(loadError(kLoadFailed + listing.bounds.refusal())); };
  for (;;) {
    if (!listing.bounds.nextPage(from)) return refused();
    auto operation = requestRecordListWithSyncTag(from.tag, from.extraInfo, std::nullopt, {});
    // A page may be tens of MiB: read where it lies, not copied.
    std::shared_ptr<const platform::Json> page = operation->sharedResponseObject();
    if (std::optional<platform::Error> failure = operation->error()) {
      const platform::Error& error = *failure;
      auto again = LMListingBounds::restartAfter(error, from);
      if (!again) {
        LM_LOG_ERROR("{}", error.description());
        return failWith(error);
      }
      if (!listing.bounds.restart()) return refused();
      listing.clear();
      from = std::move(*again);
      resync = true;
      continue;
    }

    static const platform::Json kNoReply;
    const platform::Json& reply = page ? *page : kNoReply;
    auto data = reply.is_object() ? reply.find("data") : reply.end();
    if (!reply.is_object() || data == reply.end() || !platform::isNonEmptyObject(*data)) {
      return failWith(loadError(std::string(kLoadFailed) + "."));
    }
    if (auto entries = data->find("entries"); entries != data->end() && platform::isNonEmptyArray(*entries)) {
      // Past the bound the load fails; nothing is stored, the watermark
      // stays where it was.
      if (!listing.take(*entries)) return refused();
    }
    auto lastPage = data->find("lastPage");
    const bool last = lastPage != data->end() && isTrue(*lastPage);
    // Only a tag the cloud can be sent back becomes the watermark.
    auto pageTag = data->find("syncTag");
    std::optional<std::int64_t> newTag;
    if (pageTag != data->end()) newTag = LMListingBounds::syncTagOf(*pageTag);
    if (!newTag) return failWith(missingParameterError("syncTag"));
    from.tag = *newTag;
    auto pageInfo = platform::stringAt(*data, "syncExtraInfo");
    if (!platform::hasText(pageInfo)) return failWith(missingParameterError("syncExtraInfo"));
    from.extraInfo = pageInfo;

    if (last) {
      if (success) {
        success(from.tag, *from.extraInfo, Listing::valuesOf(listing.contacts), Listing::valuesOf(listing.groups),
                resync);
      }
      return;
    }
  }
}

void LMContactSyncAdapter::loadLumoraChangedRecords(const std::function<void()>& success, const Failure& fail) {
  auto store = context();
  // Rows made against an address book that was since replaced would read
  // its new people as strangers and the old ones as deleted: such a sync
  // starts over as a first one, before anything is listed.
  if (auto book = openAddressBook()) {
    if (auto replaced = store->startOverIfAddressBookReplaced(book.get()); !replaced.ok()) {
      if (fail) fail(replaced.error());
      return;
    }
  }
  requestLumoraRecordsWithSync(
      store->serverSync(), store->serverSyncExtraInfo(),
      [&](std::int64_t syncTag, const std::string& syncExtraInfo, std::vector<LMContact> contacts,
          std::vector<LMGroup> groups, bool resync) {
        platform::Status saved = store->saveLumoraGroups(groups, contacts, syncTag, syncExtraInfo, resync);
        if (!saved.ok()) {
          if (fail) fail(saved.error());
          return;
        }
        if (success) success();
      },
      fail);
}

}  // namespace lumora
