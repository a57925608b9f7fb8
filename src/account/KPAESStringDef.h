// The text form of a random-vector AES cipher text: version, vector and data
// joined by ":" ("1:<24-character URL-safe Base64 vector>:<Base64 data>").
// A plain immutable value; any thread. Construction fails (nullopt) for an
// empty field or a text that does not split into exactly three fields.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumora {

class KPAESStringDef {
 public:
  // The only version produced and accepted.
  static constexpr std::string_view kVersion1 = "1";

  // nullopt unless all three fields hold at least one character.
  static std::optional<KPAESStringDef> initWithVersion(std::string version, std::string iv,
                                                       std::string data);
  // Splits on every ":"; exactly three fields are required.
  static std::optional<KPAESStringDef> initWithAESString(std::string_view text);

  const std::string& asd_version() const { return version_; }
  const std::string& asd_iv() const { return iv_; }
  const std::string& asd_data() const { return data_; }

  // "version:iv:data".
  std::string description() const;

 private:
  KPAESStringDef(std::string version, std::string iv, std::string data);

  std::string version_;
  std::string iv_;
  std::string data_;
};

}  // namespace lumora
