#include "server/services/ContactSyncService.h"

#include <functional>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "server/http/AdminJson.h"
#include "server/services/ContactService.h"
#include "server/http/HttpUtil.h"
#include "server/storage/SyncListing.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;
using Kind = ContactOperation::Kind;

// One operation of a batch, as its path and params name it.
struct BatchItem {
  Kind kind = Kind::Add;
  std::string id;
  std::map<std::string, std::string> params;
};

// A single-change path: "/lum/contact/v2/user/U/full", ".../full/ID" or
// ".../full/ID/delete"; its user goes to `userId`.
std::optional<BatchItem> readPath(std::string_view path, std::string& userId) {
  constexpr std::string_view kPrefix = "/lum/contact/v2/user/";
  if (!path.starts_with(kPrefix)) return std::nullopt;
  path.remove_prefix(kPrefix.size());
  std::size_t slash = path.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  userId = std::string(path.substr(0, slash));
  path.remove_prefix(slash);
  if (!path.starts_with("/full")) return std::nullopt;
  path.remove_prefix(5);
  BatchItem item;
  if (path.empty()) return item;
  if (path.front() != '/') return std::nullopt;
  path.remove_prefix(1);
  slash = path.find('/');
  item.id = std::string(path.substr(0, slash));
  if (item.id.empty()) return std::nullopt;
  if (slash == std::string_view::npos) {
    item.kind = Kind::Modify;
    return item;
  }
  if (path.substr(slash) != "/delete") return std::nullopt;
  item.kind = Kind::Delete;
  return item;
}

// The batch's items, or the refusal of the whole batch.
std::variant<std::vector<BatchItem>, SignedReply> readBatch(const std::string& text,
                                                            std::int64_t caller) {
  if (text.size() > ContactSyncService::kMaxBatchText) return badRequest("batchContent is too long");
  Json batch = http::parseJson(text);
  if (!batch.is_array() || batch.empty()) return badRequest("batchContent must be a list of changes");
  if (batch.size() > ContactSyncService::kMaxBatch) return badRequest("too many changes in one batch");
  std::vector<BatchItem> items;
  for (const Json& entry : batch) {
    std::string userId;
    std::optional<BatchItem> item;
    if (entry.is_object() && entry.contains("path") && entry["path"].is_string()) {
      item = readPath(entry["path"].get<std::string>(), userId);
    }
    if (!item) return badRequest("a change has no contact change path");
    auto owner = http::decimal(userId);
    if (!owner) return badRequest("a change has no contact change path");
    if (*owner != caller) {
      return SignedReply::error(cloudcode::kForbidden, "a change names another user");
    }
    auto params = entry.find("params");
    if (params != entry.end()) {
      if (!params->is_object()) return badRequest("params must be an object");
      for (const auto& [name, value] : params->items()) {
        if (!value.is_string()) return badRequest("params values must be texts");
        item->params.emplace(name, value.get<std::string>());
      }
    }
    items.push_back(std::move(*item));
  }
  return items;
}

}  // namespace

void ContactSyncService::registerOn(SignedEndpoints& endpoints) {
  endpoints.get(kListPath, ContactService::kServiceId,
                std::bind_front(&ContactSyncService::list, this));
  endpoints.post(kBatchPath, ContactService::kServiceId,
                 std::bind_front(&ContactSyncService::batch, this));
}

SignedReply ContactSyncService::list(const SignedRequest& req) {
  auto read = SyncListing::read(req);
  if (auto* refused = std::get_if<SignedReply>(&read)) return *refused;
  auto page = log_.page(req.userId, std::get<SyncListing>(read));
  if (!page) return SignedReply::error(cloudcode::kServerError, "cannot read the records");
  if (page->restart) return SyncListing::listAgain(page->syncExtraInfo);
  Json entries = Json::array();
  for (const ContactRecord& record : page->entries) entries.push_back(record.envelope());
  return SignedReply::ok(Json{{"entries", std::move(entries)},
                              {"lastPage", page->lastPage},
                              {"syncTag", page->syncTag},
                              {"syncExtraInfo", page->syncExtraInfo}});
}

SignedReply ContactSyncService::batch(const SignedRequest& req) {
  auto text = req.param("batchContent");
  if (!text) return badRequest("batchContent is missing");
  auto read = readBatch(*text, req.userId);
  if (auto* refused = std::get_if<SignedReply>(&read)) return *refused;
  const auto& items = std::get<std::vector<BatchItem>>(read);

  // Malformed operations are answered alone; the others go to the store
  // together.
  std::vector<std::optional<SignedReply>> refusals;
  std::vector<ContactOperation> operations;
  for (const BatchItem& item : items) {
    auto op = ContactService::operation(item.kind, item.id, item.params, req.device);
    if (auto* refused = std::get_if<SignedReply>(&op)) {
      refusals.emplace_back(*refused);
    } else {
      refusals.emplace_back();
      operations.push_back(std::get<ContactOperation>(op));
    }
  }
  auto changes = contacts_.apply(req.userId, operations);
  Json list = Json::array();
  std::size_t next = 0;
  for (const auto& refusal : refusals) {
    if (refusal) {
      list.push_back(refusal->body);
      continue;
    }
    const ContactStore::Change& change = changes[next++];
    if (change.outcome == ContactStore::Outcome::Failed) {
      return SignedReply::error(cloudcode::kServerError, "cannot store the changes");
    }
    list.push_back(ContactService::reply(change).body);
  }
  return SignedReply::ok(Json{{"list", std::move(list)}});
}

void ContactSyncService::registerAdminOn(httplib::Server& server) {
  using admin::adminError;
  using admin::adminReply;
  server.Post("/_admin/contacts", [this](const httplib::Request& req, httplib::Response& res) {
    auto body = admin::adminBody(req, res);
    if (!body) return;
    bool ok = true;
    auto userId = admin::member<std::int64_t>(*body, "userId", 0, ok);
    auto op = admin::member<std::string>(*body, "op", "", ok);
    if (op != "add" && op != "modify" && op != "delete") ok = false;
    ContactOperation operation;
    operation.kind = op == "add" ? Kind::Add : op == "modify" ? Kind::Modify : Kind::Delete;
    operation.type = admin::member<std::string>(*body, "type", "", ok);
    operation.content = admin::member<Json>(*body, "content", Json::object(), ok);
    operation.id = admin::member<std::int64_t>(*body, "id", 0, ok);
    if (body->contains("tag")) operation.baseTag = admin::member<std::int64_t>(*body, "tag", 0, ok);
    operation.purge = admin::member<bool>(*body, "purge", false, ok);
    if (!ok || userId <= 0 || !operation.content.is_object()) {
      return adminError(res, 400, "userId, op (add, modify, delete) and an object content are needed");
    }
    if (operation.kind != Kind::Delete && operation.type != "contact" && operation.type != "group") {
      return adminError(res, 400, "type must be contact or group");
    }
    auto change = contacts_.apply(userId, {operation}).front();
    switch (change.outcome) {
      case ContactStore::Outcome::Applied:
      case ContactStore::Outcome::Kept:
        return adminReply(res, 200,
                          Json{{"ok", true},
                               {"outcome", change.outcome == ContactStore::Outcome::Applied
                                               ? "applied"
                                               : "kept"},
                               {"record", change.record.envelope()}});
      case ContactStore::Outcome::NotFound:
        return adminError(res, 404, "no such record");
      case ContactStore::Outcome::WrongType:
        return adminError(res, 400, "the record is of another type");
      case ContactStore::Outcome::Full:
        return adminError(res, 400, "the record limit is reached");
      case ContactStore::Outcome::Failed:
        break;
    }
    adminError(res, 500, "cannot store the record");
  });

  server.Get("/_admin/contacts", [this](const httplib::Request& req, httplib::Response& res) {
    auto userId = http::decimal(req.get_param_value("userId"));
    if (!userId) return adminError(res, 400, "userId is needed");
    Json records = Json::array();
    for (const ContactRecord& record : contacts_.records(*userId)) {
      records.push_back(record.envelope());
    }
    adminReply(res, 200, Json{{"ok", true}, {"records", std::move(records)}});
  });
}

}  // namespace localcloud
