#include "server/services/ContactService.h"

#include <functional>
#include <optional>

#include "server/http/HttpUtil.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

std::optional<std::string> find(const std::map<std::string, std::string>& params,
                                const std::string& name) {
  auto it = params.find(name);
  if (it == params.end()) return std::nullopt;
  return it->second;
}

// The record a change carries: "entry", or "data" as the change operation
// names it before the sender renames it. For a change of record `recordId`
// the entry must not name another one. Fills the type, content and base tag
// of `op`; the problem otherwise.
std::optional<std::string> readEntry(const std::map<std::string, std::string>& params,
                                     std::optional<std::int64_t> recordId,
                                     ContactOperation& op) {
  auto text = find(params, "entry");
  if (!text) text = find(params, "data");
  if (!text) return "entry is missing";
  if (text->size() > ContactService::kMaxEntryText) return "entry is too long";
  Json json = http::parseJson(*text);
  if (!json.is_object() || !json.contains("content") || !json["content"].is_object()) {
    return "entry is not a record";
  }
  op.type = json.value("type", Json()).is_string() ? json["type"].get<std::string>() : "";
  if (op.type != "contact" && op.type != "group") return "entry type must be contact or group";
  // An add's mark: the sender's name for the add, the same on every send.
  if (auto mark = json.find("mark"); mark != json.end()) {
    if (!mark->is_string() || mark->get_ref<const std::string&>().empty()) return "mark must be a text";
    if (mark->get_ref<const std::string&>().size() > ContactService::kMaxMarkBytes) return "mark is too long";
    op.mark = mark->get<std::string>();
  }
  // Whether the sender sent the add before (a repeat of an add whose reply
  // it never had); a first send when left out.
  if (auto resent = json.find("resent"); resent != json.end()) {
    if (!resent->is_boolean()) return "resent must be true or false";
    op.resent = resent->get<bool>();
  }
  op.content = std::move(json["content"]);
  if (op.content.dump(-1, ' ', false, Json::error_handler_t::replace).size() >
      ContactService::kMaxContentBytes) {
    return "entry is too large";
  }
  auto tag = op.content.find("tag");
  if (tag != op.content.end() && tag->is_number_integer()) op.baseTag = tag->get<std::int64_t>();
  auto id = op.content.find("id");
  if (recordId && id != op.content.end() && id->is_number_integer() &&
      id->get<std::int64_t>() != *recordId) {
    return "the entry names another record";
  }
  return std::nullopt;
}

}  // namespace

std::variant<ContactOperation, SignedReply> ContactService::operation(
    ContactOperation::Kind kind, const std::string& idText,
    const std::map<std::string, std::string>& params, const std::string& device) {
  using Kind = ContactOperation::Kind;
  ContactOperation op;
  op.kind = kind;
  std::optional<std::int64_t> id;
  if (kind != Kind::Add) {
    id = http::decimal(idText);
    if (!id) return badRequest("invalid record id");
    op.id = *id;
  }
  if (kind == Kind::Delete) {
    std::string purge = find(params, "purge").value_or("0");
    if (purge != "0" && purge != "1") return badRequest("purge must be 0 or 1");
    op.purge = purge == "1";
    // The entry is optional for a delete; when sent it names the version
    // the deletion is meant for.
    if (!find(params, "entry") && !find(params, "data")) return op;
  }
  if (auto problem = readEntry(params, id, op)) return badRequest(*problem);
  // An add starts a record: the tag it may carry names no version; its
  // mark (else its key, with the device) makes a repeated add find the
  // record the first one made. Other changes carry no mark.
  if (kind != Kind::Add) {
    op.mark.clear();
    op.resent = false;
  }
  if (kind == Kind::Add) {
    op.baseTag.reset();
    op.ckey = find(params, "ckey").value_or("");
    op.device = device;
  }
  return op;
}

SignedReply ContactService::reply(const ContactStore::Change& change) {
  switch (change.outcome) {
    case ContactStore::Outcome::Applied:
    case ContactStore::Outcome::Kept:
      return SignedReply::ok(change.record.envelope());
    case ContactStore::Outcome::NotFound:
      return SignedReply::error(cloudcode::kNotFound, "no such record");
    case ContactStore::Outcome::WrongType:
      return badRequest("the record is of another type");
    case ContactStore::Outcome::Full:
      return SignedReply::error(kStorageFull, "the record limit is reached");
    case ContactStore::Outcome::Failed:
      break;
  }
  return SignedReply::error(cloudcode::kServerError, "cannot store the record");
}

void ContactService::registerOn(SignedEndpoints& endpoints) {
  using Kind = ContactOperation::Kind;
  std::string base = kBasePath;
  endpoints.post(base, kServiceId, std::bind_front(&ContactService::change, this, Kind::Add));
  endpoints.post(base + "/{id}", kServiceId,
                 std::bind_front(&ContactService::change, this, Kind::Modify));
  endpoints.post(base + "/{id}/delete", kServiceId,
                 std::bind_front(&ContactService::change, this, Kind::Delete));
}

SignedReply ContactService::change(ContactOperation::Kind kind, const SignedRequest& req) {
  auto op = operation(kind, req.pathArg("id"), req.params, req.device);
  if (auto* refused = std::get_if<SignedReply>(&op)) return *refused;
  return reply(contacts_.apply(req.userId, {std::get<ContactOperation>(op)}).front());
}

}  // namespace localcloud
