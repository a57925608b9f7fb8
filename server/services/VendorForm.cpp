#include "server/services/VendorForm.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "server/services/FileCrypto.h"
#include "server/http/HttpUtil.h"

namespace localcloud::vendor {
namespace {

constexpr const char* kSdkId = "io.harbor.sdk.ios";
constexpr const char* kSdkVersion = "1.5.5";
constexpr const char* kSdkBuild = "30";
constexpr const char* kDeveloperToken = "5b1e93c07a4d2f86e0c9b7a13d58f2046ca9e17b";
constexpr const char* kLibrariesPrefix = "app[build][libraries][";
constexpr std::int64_t kMaxIconArea = 152 * 152;

bool isLowerHexText(std::string_view text, std::size_t length) {
  return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool isVersionTriple(std::string_view text) {
  int numbers = 0;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = text.find('.', start);
    std::string_view piece = text.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (!http::decimal(piece)) return false;
    ++numbers;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return numbers == 3;
}

bool isSource(std::string_view text) { return text == "1" || text == "3" || text == "4"; }

}  // namespace

std::string multipartBoundary(const std::string& contentType) {
  constexpr std::string_view kPrefix = "multipart/form-data; boundary=";
  if (contentType.compare(0, kPrefix.size(), kPrefix) != 0) return {};
  std::string boundary = contentType.substr(kPrefix.size());
  if (boundary.empty() || boundary.size() > 70 || boundary.find_first_of(" \";\r\n") != std::string::npos) {
    return {};
  }
  return boundary;
}

std::optional<std::string> partValue(const FormParts& parts, const std::string& name) {
  for (const FormPart& part : parts) {
    if (part.name == name) return part.value;
  }
  return std::nullopt;
}

std::optional<std::string> appFormProblem(const FormParts& parts) {
  static const char* const kAppFields[] = {"app[identifier]",         "app[instance_identifier]",
                                           "app[name]",               "app[build_version]",
                                           "app[display_version]",    "app[source]",
                                           "app[minimum_sdk_version]", "app[built_sdk_version]"};
  std::size_t i = 0;
  for (const char* name : kAppFields) {
    if (i >= parts.size() || parts[i].name != name) return std::string("expected the part ") + name;
    if (!parts[i].fileName.empty() || parts[i].contentType != "text/plain") {
      return std::string("expected a text/plain part for ") + name;
    }
    ++i;
  }
  if (parts[0].value.empty() || parts[0].value.find('/') != std::string::npos) return "a bad app identifier";
  if (parts[3].value.empty() || parts[4].value.empty()) return "the versions must not be empty";
  if (!isSource(parts[5].value)) return "app[source] must be 1, 3 or 4";
  if (!isVersionTriple(parts[6].value) || !isVersionTriple(parts[7].value)) return "the SDK versions must be x.y.z";

  std::map<std::string, std::string> libraries;
  for (; i < parts.size() && parts[i].name.rfind(kLibrariesPrefix, 0) == 0; ++i) {
    const std::string& name = parts[i].name;
    std::string id = name.substr(std::string_view(kLibrariesPrefix).size());
    if (id.size() < 2 || id.back() != ']' || !parts[i].fileName.empty() || parts[i].contentType != "text/plain") {
      return "a bad library part: " + name;
    }
    id.pop_back();
    if (parts[i].value.empty() || !libraries.emplace(id, parts[i].value).second) {
      return "a library sent twice or without version: " + id;
    }
  }
  auto sdk = libraries.find(kSdkId);
  if (sdk == libraries.end() || sdk->second != kSdkVersion) return "the SDK's own library entry is missing";

  std::map<std::string, std::string> slices;
  for (; i < parts.size() && parts[i].name == "app[slices][][arch]"; i += 2) {
    if (i + 1 >= parts.size() || parts[i + 1].name != "app[slices][][uuid]") return "a slice without its uuid";
    if (parts[i].value.empty() || !isLowerHexText(parts[i + 1].value, 32) || !parts[i].fileName.empty() ||
        !parts[i + 1].fileName.empty()) {
      return "a bad slice";
    }
    if (!slices.emplace(parts[i].value, parts[i + 1].value).second) return "an architecture sent twice";
  }
  std::string uuids;
  for (const auto& [arch, uuid] : slices) uuids += uuid;
  if (parts[1].value != crypto::sha1Hex(uuids)) return "the instance identifier does not match the slices";

  if (i == parts.size()) return std::nullopt;
  static const char* const kIconFields[] = {"app[icon][hash]", "app[icon][prerendered]", "app[icon][width]",
                                            "app[icon][height]", "app[icon][data]"};
  std::size_t first = i;
  for (const char* name : kIconFields) {
    if (i >= parts.size() || parts[i].name != name) return std::string("expected the part ") + name;
    ++i;
  }
  if (i != parts.size()) return "a part after the icon: " + parts[i].name;
  const FormPart& data = parts[first + 4];
  if (!isLowerHexText(parts[first].value, 40)) return "a bad icon hash";
  if (parts[first + 1].value != "true" && parts[first + 1].value != "false") return "a bad prerendered flag";
  auto width = http::decimal(parts[first + 2].value);
  auto height = http::decimal(parts[first + 3].value);
  if (!width || !height || *width == 0 || *height == 0 || *width * *height > kMaxIconArea) {
    return "a bad icon size";
  }
  for (std::size_t k = first; k < first + 4; ++k) {
    if (!parts[k].fileName.empty() || parts[k].contentType != "text/plain") return "a bad part " + parts[k].name;
  }
  if (data.fileName != "icon.png" || data.contentType != "image/png") return "the icon must be icon.png, image/png";
  if (data.value.rfind("\x89PNG\r\n\x1a\n", 0) != 0) return "the icon is no PNG";
  return std::nullopt;
}

std::variant<QueryPairs, std::string> settingsQuery(const std::string& target) {
  std::size_t mark = target.find('?');
  if (mark == std::string::npos) return std::string("the settings query is missing");
  QueryPairs pairs;
  std::string_view query = std::string_view(target).substr(mark + 1);
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return "a query parameter without value: " + std::string(pair);
    pairs.emplace_back(http::urlDecode(std::string(pair.substr(0, eq))),
                       http::urlDecode(std::string(pair.substr(eq + 1))));
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
  }
  std::vector<std::string> names;
  for (const auto& [name, value] : pairs) names.push_back(name);
  std::vector<std::string> withIcon = {"build_version", "display_version", "instance", "icon_hash", "source"};
  std::vector<std::string> withoutIcon = {"build_version", "display_version", "instance", "source"};
  if (names != withIcon && names != withoutIcon) return std::string("the settings query is not in order");
  for (const auto& [name, value] : pairs) {
    bool ok = name == "instance"    ? isLowerHexText(value, 40)
              : name == "icon_hash" ? isLowerHexText(value, 40)
              : name == "source"    ? isSource(value)
                                    : !value.empty();
    if (!ok) return "a bad value of " + name;
  }
  return pairs;
}

namespace {

// The header's one value; nullopt when absent or sent more than once.
std::optional<std::string> singleHeader(const httplib::Request& req, const char* name) {
  if (req.get_header_value_count(name) != 1) return std::nullopt;
  return req.get_header_value(name);
}

}  // namespace

std::optional<std::string> commonHeaderProblem(const httplib::Request& req) {
  const std::string agent = std::string(kSdkId) + "/" + kSdkVersion + " (" + kSdkBuild + ")";
  const std::pair<const char*, std::string> exact[] = {
      {"User-Agent", agent},
      {"Accept-Charset", "utf-8"},
      {"X-Blackbox-Developer-Token", kDeveloperToken},
      {"X-Blackbox-API-Client-Id", kSdkId},
      {"X-Blackbox-API-Client-Display-Version", kSdkVersion},
      {"X-Blackbox-API-Client-Build-Version", kSdkBuild},
  };
  for (const auto& [name, expected] : exact) {
    if (singleHeader(req, name) != expected) return std::string("a missing or wrong header: ") + name;
  }
  for (const char* name : {"Accept-Language", "Content-Language", "X-Blackbox-API-Key"}) {
    auto value = singleHeader(req, name);
    if (!value || value->empty()) return std::string("a missing header: ") + name;
  }
  if (req.get_header_value("Accept-Language") != req.get_header_value("Content-Language")) {
    return std::string("the two language headers differ");
  }
  return std::nullopt;
}

std::optional<std::string> downloadHeaderProblem(const httplib::Request& req) {
  if (singleHeader(req, "Accept") != "application/json") return std::string("Accept must be application/json");
  if (singleHeader(req, "X-Blackbox-API-Client-Version") != kSdkVersion) {
    return std::string("a missing or wrong X-Blackbox-API-Client-Version");
  }
  for (const char* name : {"X-Blackbox-Installation-ID", "X-Blackbox-Device-Model", "X-Blackbox-OS-Build-Version",
                           "X-Blackbox-OS-Display-Version"}) {
    auto value = singleHeader(req, name);
    if (!value || value->empty()) return std::string("a missing header: ") + name;
  }
  if (req.has_header("X-Blackbox-Advertising-Token")) {
    auto token = singleHeader(req, "X-Blackbox-Advertising-Token");
    if (!token || token->empty()) return std::string("an empty or repeated advertising token");
  }
  return std::nullopt;
}

}  // namespace localcloud::vendor
