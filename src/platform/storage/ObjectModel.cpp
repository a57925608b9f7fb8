#include "platform/storage/ObjectModel.h"

namespace platform::objectstore {
namespace {

// 0 null, 1 number, 2 text.
int rankOf(const Value& value) {
  if (isNull(value)) return 0;
  return std::holds_alternative<std::string>(value) ? 2 : 1;
}

double numberOf(const Value& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return static_cast<double>(*integer);
  return std::get<double>(value);
}

}  // namespace

int compareValues(const Value& a, const Value& b) {
  const int rankA = rankOf(a);
  const int rankB = rankOf(b);
  if (rankA != rankB) return rankA < rankB ? -1 : 1;
  if (rankA == 0) return 0;
  if (rankA == 2) {
    const int order = std::get<std::string>(a).compare(std::get<std::string>(b));
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
  }
  const auto* intA = std::get_if<std::int64_t>(&a);
  const auto* intB = std::get_if<std::int64_t>(&b);
  if (intA && intB) return *intA < *intB ? -1 : (*intA == *intB ? 0 : 1);
  const double x = numberOf(a);
  const double y = numberOf(b);
  return x < y ? -1 : (x == y ? 0 : 1);
}

bool valuesEqual(const Value& a, const Value& b) { return compareValues(a, b) == 0; }

int EntityDescription::attributeIndex(std::string_view key) const {
  for (std::size_t i = 0; i < attributes.size(); ++i) {
    if (attributes[i].name == key) return static_cast<int>(i);
  }
  return -1;
}

int EntityDescription::relationshipIndex(std::string_view key) const {
  for (std::size_t i = 0; i < relationships.size(); ++i) {
    if (relationships[i].name == key) return static_cast<int>(i);
  }
  return -1;
}

const EntityDescription* ObjectModel::entity(std::string_view name) const {
  for (const auto& entity : entities_) {
    if (entity.name == name) return &entity;
  }
  return nullptr;
}

}  // namespace platform::objectstore
