// One day package of the document: {"content": [categories],
// "startTS", "endTS"} (millisecond texts of the first and last point's
// time). Categories are kept as builders and asked for their source only
// when the package's is built; those that answer nothing are left out of
// "content". Nothing while the package holds no category at all.
// Plain object; one thread at a time. Failures: none.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stats/KoASMJCustomCategory.h"
#include "stats/KoASendMessageJsonBase.h"

namespace lumora {

class KoASMJPackage final : public KoASendMessageJsonBase {
 public:
  // Seconds since 1970.
  void setTsWithStart(double start, double end);
  void addCategory(std::shared_ptr<KoASendMessageJsonBase> category);
  // The last custom category named `name` ("default_category" for nullopt
  // or ""), else a new one appended to the content.
  std::shared_ptr<KoASMJCustomCategory> getCustomCategory(const std::optional<std::string>& name);

  std::optional<platform::Json> getSource() const override;

  double nStart = 0;
  double nEnd = 0;
  std::vector<std::shared_ptr<KoASendMessageJsonBase>> arrContent;
};

}  // namespace lumora
