// The vendor service's reading of what the reporting SDK sends: the app
// form of an onboarding request checked part by part (names, file names,
// content types and values, in order), the query of a settings request in
// its order, and the SDK's common request headers.
// Stateless free functions; safe from any thread; nothing throws. Every
// check answers a refusal text, or nullopt when all is well.
#pragma once

#include <httplib.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace localcloud::vendor {

// One part of a multipart body as it arrived.
struct FormPart {
  std::string name;
  std::string fileName;  // "" for a text part
  std::string contentType;
  std::string value;
};
using FormParts = std::vector<FormPart>;

// The boundary of a "multipart/form-data; boundary=..." content type, or "".
std::string multipartBoundary(const std::string& contentType);

// The app form of a create or update: the eight app parts, the libraries
// (the SDK's own among them), the slices in pairs, and the five icon parts
// or none. The instance identifier must be the SHA-1 of the slice UUIDs in
// the order of their architecture names.
std::optional<std::string> appFormProblem(const FormParts& parts);

// The query of a settings request: build_version, display_version,
// instance, icon_hash (optional) and source, in that order, each once.
using QueryPairs = std::vector<std::pair<std::string, std::string>>;
std::variant<QueryPairs, std::string> settingsQuery(const std::string& target);

// User-Agent, Accept-Charset, Accept-Language, Content-Language and the
// X-Blackbox developer token, client id, versions and API key, each once.
std::optional<std::string> commonHeaderProblem(const httplib::Request& req);
// The settings download's own headers: Accept, installation id, device
// model, system build and version, client version; the advertising token
// only when not empty.
std::optional<std::string> downloadHeaderProblem(const httplib::Request& req);

// The value of a part by name (the first), if present.
std::optional<std::string> partValue(const FormParts& parts, const std::string& name);

}  // namespace localcloud::vendor
