#include "harbor/HBRURLBuilder.h"

#include "platform/http/Url.h"

namespace lumora {

HBRURLBuilder HBRURLBuilder::URLWithBase(const std::string& base) {
  HBRURLBuilder builder;
  builder.appendComponent(base);
  return builder;
}

std::string HBRURLBuilder::escapeString(const std::string& text) {
  return platform::http::percentEncoded(text, "!#$&'()*+,/:;=?@[]");
}

void HBRURLBuilder::appendComponent(const std::string& component) { URLString_ += component; }

void HBRURLBuilder::escapeAndAppendComponent(const std::string& component) {
  appendComponent(escapeString(component));
}

void HBRURLBuilder::appendValue(const std::optional<platform::Json>& value, const std::string& queryParam) {
  if (!value) return;
  URLString_ += queryParams_ == 0 ? "?" : "&";
  ++queryParams_;
  URLString_ += queryParam + "=";
  URLString_ += escapeString(value->is_string() ? value->get<std::string>() : value->dump());
}

std::optional<std::string> HBRURLBuilder::URL() const {
  if (!platform::http::Url::parse(URLString_)) return std::nullopt;
  return URLString_;
}

}  // namespace lumora
