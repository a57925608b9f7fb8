#include "account/QBPassportCAToken.h"

#include <utility>

namespace lumora {

std::optional<QBPassportCAToken> QBPassportCAToken::initWithToken(std::optional<std::string> token,
                                                                  std::optional<std::string> security) {
  if (!token || !security) return std::nullopt;
  return QBPassportCAToken(std::move(*token), std::move(*security));
}

std::optional<QBPassportCAToken> QBPassportCAToken::initWithString(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  auto comma = text->find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view rest = text->substr(comma + 1);
  return QBPassportCAToken(std::string(text->substr(0, comma)), std::string(rest.substr(0, rest.find(','))));
}

}  // namespace lumora
