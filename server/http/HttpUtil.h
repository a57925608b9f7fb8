// Small request and reply helpers shared by the local cloud's services:
// parameters (query and form body), JSON sent by clients, cookies, the
// account service's reply form ("&&&START&&&" followed by JSON), cookies set
// on replies and HTTP dates. Stateless; safe from any thread; nothing throws.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace localcloud::http {

using Json = nlohmann::json;

// The prefix the account service puts before its JSON replies.
inline constexpr const char* kReplyPrefix = "&&&START&&&";

// The request's parameters as the account service reads them: of a GET
// (HEAD, DELETE) its query; of a POST its body read as a form (also when
// the sender gave no content type), and not its query.
std::multimap<std::string, std::string> params(const httplib::Request& req);
// Query parameters plus, for a request with a body, the body read as a form
// (also when the sender gave no content type): the signed services take a
// multipart POST's signed values from its query.
std::multimap<std::string, std::string> queryAndBodyParams(const httplib::Request& req);
// The first value of a parameter, if present.
std::optional<std::string> param(const std::multimap<std::string, std::string>& params,
                                 const std::string& name);
// The parameters with one value per name (the first), for signing.
std::map<std::string, std::string> singleValued(
    const std::multimap<std::string, std::string>& params);

// The fields of a form POST in the order received: a multipart body's
// parts (none may carry a file name), or a body without a content type
// read as URL-encoded (the server takes a URL-encoded form's label off to
// read bodies past cpp-httplib's own limit for labelled forms). `encoding`
// becomes "multipart" or "urlencoded". A refusal text for a body that is no
// form, a form without fields, a field sent twice or a file part.
using FormFields = std::vector<std::pair<std::string, std::string>>;
std::variant<FormFields, std::string> formFields(const httplib::Request& req, std::string& encoding);
// Form fields as a JSON list of [name, value] pairs, and back (entries of
// another shape are skipped).
nlohmann::json fieldsToJson(const FormFields& fields);
// The value of the first field of that name, if there is one.
std::optional<std::string> fieldValue(const FormFields& fields, const std::string& name);
FormFields fieldsFromJson(const nlohmann::json& list);

// A non-negative decimal number of 1 to 18 digits and nothing else (no
// sign, no blanks); nullopt otherwise.
std::optional<std::int64_t> decimal(std::string_view text);

// JSON that a client sent: discarded (is_discarded()) when it does not
// parse or nests deeper than kMaxJsonDepth. Copying or writing out a value
// recurses once per level, so a deeper one could exhaust a thread's stack.
inline constexpr int kMaxJsonDepth = 64;
Json parseJson(std::string_view text);

// JSON as compact text, any invalid UTF-8 in it replaced (never throws).
std::string jsonText(const Json& json);

// Every value of the named cookie over all "Cookie" headers, in order.
std::vector<std::string> cookies(const httplib::Request& req, const std::string& name);
std::string firstCookie(const httplib::Request& req, const std::string& name);

// "http://" + the Host the client used (falls back to 127.0.0.1:port).
std::string baseUrl(const httplib::Request& req, int port);

// Account-service reply: status 200, prefix + JSON.
void replyJson(httplib::Response& res, const Json& body);
// A reply with a plain text body and the given status.
void replyText(httplib::Response& res, int status, const std::string& text);
void replyHtml(httplib::Response& res, const std::string& html);
// Adds "Set-Cookie: name=value; Path=/".
void setCookie(httplib::Response& res, const std::string& name, const std::string& value);

// The current time as an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT").
std::string httpDateNow();
// The wall clock in whole milliseconds since 1970.
std::int64_t nowMs();

// Percent-encoding of a query value (cpp-httplib's: letters, digits and
// "-_.!~*'()" stay).
std::string urlEncode(const std::string& text);
std::string urlDecode(const std::string& text);
// Escapes &, <, >, " for HTML text and attributes.
std::string htmlEscape(const std::string& text);

}  // namespace localcloud::http
