#include "server/http/HttpUtil.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <set>

namespace localcloud::http {

namespace {

bool unlabelledOrForm(const httplib::Request& req) {
  std::string type = req.get_header_value("Content-Type");
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return type.empty() || type.rfind("application/x-www-form-urlencoded", 0) == 0;
}

}  // namespace

std::multimap<std::string, std::string> params(const httplib::Request& req) {
  if (req.method == "GET" || req.method == "HEAD" || req.method == "DELETE") return req.params;
  // The body alone, as the real service reads a POST: parameters in the
  // URL's query do not count. (cpp-httplib mixes the query into the
  // parameters of a labelled form.)
  std::multimap<std::string, std::string> out;
  if (unlabelledOrForm(req)) httplib::detail::parse_query_text(req.body, out);
  return out;
}

std::multimap<std::string, std::string> queryAndBodyParams(const httplib::Request& req) {
  std::multimap<std::string, std::string> out = req.params;
  // cpp-httplib reads a form body only when it is labelled as one; a
  // client may leave the label off, so read an unlabelled body too.
  if (!req.body.empty() && req.get_header_value("Content-Type").empty()) {
    httplib::detail::parse_query_text(req.body, out);
  }
  return out;
}

std::optional<std::string> param(const std::multimap<std::string, std::string>& params,
                                 const std::string& name) {
  auto it = params.find(name);
  if (it == params.end()) return std::nullopt;
  return it->second;
}

std::map<std::string, std::string> singleValued(
    const std::multimap<std::string, std::string>& params) {
  std::map<std::string, std::string> out;
  for (const auto& [name, value] : params) out.emplace(name, value);
  return out;
}

std::variant<FormFields, std::string> formFields(const httplib::Request& req, std::string& encoding) {
  FormFields fields;
  if (req.is_multipart_form_data()) {
    encoding = "multipart";
    for (const auto& [name, part] : req.files) {
      if (!part.filename.empty()) return std::string("a file part is no form field: " + name);
      fields.emplace_back(name, part.content);
    }
  } else {
    std::string type = req.get_header_value("Content-Type");
    if (!type.empty()) return std::string("the body is no form: " + type);
    encoding = "urlencoded";
    for (const auto& [name, value] : params(req)) fields.emplace_back(name, value);
  }
  if (fields.empty()) return std::string("the form has no fields");
  std::set<std::string> names;
  for (const auto& [name, value] : fields) {
    if (!names.insert(name).second) return std::string("field sent twice: " + name);
  }
  return fields;
}

Json fieldsToJson(const FormFields& fields) {
  Json list = Json::array();
  for (const auto& [name, value] : fields) list.push_back(Json::array({name, value}));
  return list;
}

std::optional<std::string> fieldValue(const FormFields& fields, const std::string& name) {
  for (const auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return std::nullopt;
}

FormFields fieldsFromJson(const Json& list) {
  FormFields fields;
  if (!list.is_array()) return fields;
  for (const Json& entry : list) {
    if (entry.is_array() && entry.size() == 2 && entry[0].is_string() && entry[1].is_string()) {
      fields.emplace_back(entry[0].get<std::string>(), entry[1].get<std::string>());
    }
  }
  return fields;
}

std::optional<std::int64_t> decimal(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

namespace {

// Reads `text` without building it, failing at its first token (a value, a
// key, or the bracket that opens a list or an object) met while more than
// kMaxJsonDepth lists and objects are open, and at any fault of syntax.
class DepthLimit final : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return token(); }
  bool boolean(bool) override { return token(); }
  bool number_integer(number_integer_t) override { return token(); }
  bool number_unsigned(number_unsigned_t) override { return token(); }
  bool number_float(number_float_t, const string_t&) override { return token(); }
  bool string(string_t&) override { return token(); }
  bool binary(binary_t&) override { return token(); }
  bool key(string_t&) override { return token(); }
  bool start_object(std::size_t) override { return open(); }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool token() const { return open_ <= kMaxJsonDepth; }
  bool open() {
    if (!token()) return false;
    ++open_;
    return true;
  }
  bool close() {
    --open_;
    return true;
  }
  int open_ = 0;
};

}  // namespace

Json parseJson(std::string_view text) {
  // The depth is checked in a pass of its own before the plain parse: the
  // parser's callback form costs time in the square of a list's length.
  DepthLimit limit;
  if (!Json::sax_parse(text, &limit)) return Json(Json::value_t::discarded);
  return Json::parse(text, nullptr, false);
}

std::string jsonText(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::vector<std::string> cookies(const httplib::Request& req, const std::string& name) {
  std::vector<std::string> values;
  std::size_t count = req.get_header_value_count("Cookie");
  for (std::size_t i = 0; i < count; ++i) {
    std::string header = req.get_header_value("Cookie", i);
    std::size_t pos = 0;
    while (pos <= header.size()) {
      std::size_t end = header.find(';', pos);
      if (end == std::string::npos) end = header.size();
      std::string pair = header.substr(pos, end - pos);
      std::size_t start = pair.find_first_not_of(' ');
      if (start != std::string::npos) {
        pair.erase(0, start);
        std::size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.compare(0, eq, name) == 0 && eq == name.size()) {
          values.push_back(pair.substr(eq + 1));
        }
      }
      pos = end + 1;
    }
  }
  return values;
}

std::string firstCookie(const httplib::Request& req, const std::string& name) {
  auto values = cookies(req, name);
  return values.empty() ? std::string{} : values.front();
}

std::string baseUrl(const httplib::Request& req, int port) {
  std::string host = req.get_header_value("Host");
  bool sane = !host.empty();
  for (char c : host) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '-' ||
          c == '[' || c == ']')) {
      sane = false;
    }
  }
  if (!sane) host = "127.0.0.1:" + std::to_string(port);
  return "http://" + host;
}

void replyJson(httplib::Response& res, const Json& body) {
  res.status = 200;
  res.set_content(kReplyPrefix + body.dump(-1, ' ', false, Json::error_handler_t::replace),
                  "application/json; charset=utf-8");
}

void replyText(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text, "text/plain; charset=utf-8");
}

void replyHtml(httplib::Response& res, const std::string& html) {
  res.status = 200;
  res.set_content(html, "text/html; charset=utf-8");
}

void setCookie(httplib::Response& res, const std::string& name, const std::string& value) {
  res.headers.emplace("Set-Cookie", name + "=" + value + "; Path=/");
}

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string httpDateNow() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return buffer;
}

std::string urlEncode(const std::string& text) {
  return httplib::detail::encode_query_param(text);
}

std::string urlDecode(const std::string& text) {
  return httplib::detail::decode_url(text, false);
}

std::string htmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace localcloud::http
