// A category of the document: {"category": name, "values": [items]}, or
// nothing while it holds no item. Custom categories are named after the
// points' category ("default_category" when they have none); the basic and
// session categories are this with fixed names.
// Plain object; one thread at a time. Failures: none.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "stats/KoASendMessageJsonBase.h"

namespace lumora {

class KoASMJCustomCategory : public KoASendMessageJsonBase {
 public:
  static constexpr const char* kDefaultName = "default_category";

  KoASMJCustomCategory() : KoASMJCustomCategory(kDefaultName) {}
  explicit KoASMJCustomCategory(std::string category) : strCategory(std::move(category)) {}

  // Takes the item's source now; an item that answers nothing (or an empty
  // object) is dropped.
  void addItem(const KoASendMessageJsonBase& item);

  std::optional<platform::Json> getSource() const override;

  std::string strCategory;
  std::vector<platform::Json> arrValues;
};

}  // namespace lumora
