#include "server/ContactService.h"

#include <algorithm>
#include <cctype>
#include <functional>

#include "server/HttpUtil.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

// The record a change carries: "entry", or "data" as the change operation
// names it before the sender renames it.
struct Entry {
  std::string type;
  Json content;
  std::optional<std::int64_t> tag;
  std::optional<std::int64_t> id;
};

// The change's record; for a change of record `recordId` the entry must
// not name another one.
std::optional<Entry> readEntry(const SignedRequest& req, std::optional<std::int64_t> recordId,
                               std::string& problem) {
  auto text = req.param("entry");
  if (!text) text = req.param("data");
  if (!text) {
    problem = "entry is missing";
    return std::nullopt;
  }
  Json json = http::parseJson(*text);
  if (!json.is_object() || !json.contains("content") || !json["content"].is_object()) {
    problem = "entry is not a record";
    return std::nullopt;
  }
  Entry entry;
  entry.type = json.value("type", Json()).is_string() ? json["type"].get<std::string>() : "";
  if (entry.type != "contact" && entry.type != "group") {
    problem = "entry type must be contact or group";
    return std::nullopt;
  }
  entry.content = json["content"];
  auto tag = entry.content.find("tag");
  if (tag != entry.content.end() && tag->is_number_integer()) entry.tag = tag->get<std::int64_t>();
  auto id = entry.content.find("id");
  if (id != entry.content.end() && id->is_number_integer()) entry.id = id->get<std::int64_t>();
  if (recordId && entry.id && *entry.id != *recordId) {
    problem = "the entry names another record";
    return std::nullopt;
  }
  return entry;
}

std::optional<std::int64_t> recordId(const SignedRequest& req) {
  std::string text = req.pathArg("id");
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
    return std::nullopt;
  }
  return std::stoll(text);
}

SignedReply replyChange(const ContactStore::Change& change) {
  switch (change.outcome) {
    case ContactStore::Outcome::Applied:
    case ContactStore::Outcome::Kept:
      return SignedReply::ok(change.record.envelope());
    case ContactStore::Outcome::NotFound:
      return SignedReply::error(cloudcode::kNotFound, "no such record");
    case ContactStore::Outcome::WrongType:
      return SignedReply::error(cloudcode::kBadRequest, "the record is of another type");
    case ContactStore::Outcome::Failed:
      break;
  }
  return SignedReply::error(cloudcode::kServerError, "cannot store the record");
}

}  // namespace

void ContactService::registerOn(SignedEndpoints& endpoints) {
  std::string base = kBasePath;
  endpoints.post(base, kServiceId, std::bind_front(&ContactService::add, this));
  endpoints.post(base + "/{id}", kServiceId, std::bind_front(&ContactService::modify, this));
  endpoints.post(base + "/{id}/delete", kServiceId,
                 std::bind_front(&ContactService::remove, this));
}

SignedReply ContactService::add(const SignedRequest& req) {
  std::string problem;
  auto entry = readEntry(req, std::nullopt, problem);
  if (!entry) return SignedReply::error(cloudcode::kBadRequest, problem);
  return replyChange(contacts_.add(req.userId, entry->type, entry->content));
}

SignedReply ContactService::modify(const SignedRequest& req) {
  auto id = recordId(req);
  if (!id) return SignedReply::error(cloudcode::kBadRequest, "invalid record id");
  std::string problem;
  auto entry = readEntry(req, id, problem);
  if (!entry) return SignedReply::error(cloudcode::kBadRequest, problem);
  return replyChange(contacts_.modify(req.userId, *id, entry->type, entry->content, entry->tag));
}

SignedReply ContactService::remove(const SignedRequest& req) {
  auto id = recordId(req);
  if (!id) return SignedReply::error(cloudcode::kBadRequest, "invalid record id");
  std::string purge = req.param("purge").value_or("0");
  if (purge != "0" && purge != "1") {
    return SignedReply::error(cloudcode::kBadRequest, "purge must be 0 or 1");
  }
  // The entry is optional for a delete; when sent it names the version the
  // deletion is meant for.
  std::optional<std::int64_t> baseTag;
  if (req.param("entry") || req.param("data")) {
    std::string problem;
    auto entry = readEntry(req, id, problem);
    if (!entry) return SignedReply::error(cloudcode::kBadRequest, problem);
    baseTag = entry->tag;
  }
  return replyChange(contacts_.remove(req.userId, *id, baseTag, purge == "1"));
}

}  // namespace localcloud
