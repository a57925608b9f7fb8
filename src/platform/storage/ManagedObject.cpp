#include "platform/storage/ManagedObject.h"

#include <chrono>

#include "platform/storage/ManagedObjectContext.h"

namespace platform::objectstore {
namespace {

const Value& nullValue() {
  static const auto& value = *new Value();
  return value;
}

double secondsOf(Clock::TimePoint time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

Clock::TimePoint timeOf(double seconds) {
  return Clock::TimePoint(std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace

const Value& ManagedObject::valueForKey(std::string_view key) const {
  const int index = entity_ ? entity_->attributeIndex(key) : -1;
  return index < 0 ? nullValue() : values_[static_cast<std::size_t>(index)];
}

void ManagedObject::setValueForKey(std::string_view key, Value value) {
  const int index = entity_ ? entity_->attributeIndex(key) : -1;
  if (index < 0) return;
  willChange();
  values_[static_cast<std::size_t>(index)] = std::move(value);
}

std::optional<std::int64_t> ManagedObject::integerForKey(std::string_view key) const {
  const Value& value = valueForKey(key);
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return *integer;
  if (const auto* number = std::get_if<double>(&value)) return static_cast<std::int64_t>(*number);
  return std::nullopt;
}

std::optional<double> ManagedObject::doubleForKey(std::string_view key) const {
  const Value& value = valueForKey(key);
  if (const auto* number = std::get_if<double>(&value)) return *number;
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return static_cast<double>(*integer);
  return std::nullopt;
}

std::optional<std::string> ManagedObject::stringForKey(std::string_view key) const {
  const Value& value = valueForKey(key);
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return std::nullopt;
}

std::optional<Clock::TimePoint> ManagedObject::dateForKey(std::string_view key) const {
  auto seconds = doubleForKey(key);
  if (!seconds) return std::nullopt;
  return timeOf(*seconds);
}

void ManagedObject::setInteger(std::string_view key, std::optional<std::int64_t> value) {
  setValueForKey(key, value ? Value(*value) : Value());
}

void ManagedObject::setDouble(std::string_view key, std::optional<double> value) {
  setValueForKey(key, value ? Value(*value) : Value());
}

void ManagedObject::setString(std::string_view key, std::optional<std::string> value) {
  setValueForKey(key, value ? Value(std::move(*value)) : Value());
}

void ManagedObject::setDate(std::string_view key, std::optional<Clock::TimePoint> value) {
  setValueForKey(key, value ? Value(secondsOf(*value)) : Value());
}

std::optional<std::int64_t> ManagedObject::linkForKey(std::string_view relationship) const {
  const int index = entity_ ? entity_->relationshipIndex(relationship) : -1;
  return index < 0 ? std::nullopt : links_[static_cast<std::size_t>(index)];
}

std::shared_ptr<ManagedObject> ManagedObject::objectForKey(std::string_view relationship) const {
  const int index = entity_ ? entity_->relationshipIndex(relationship) : -1;
  auto context = context_.lock();
  if (index < 0 || !context || !links_[static_cast<std::size_t>(index)]) return nullptr;
  const auto& description = entity_->relationships[static_cast<std::size_t>(index)];
  const EntityDescription* destination = context->model()->entity(description.destination);
  if (!destination) return nullptr;
  return context->existingObject(*destination, *links_[static_cast<std::size_t>(index)]);
}

void ManagedObject::setObjectForKey(std::string_view relationship, const std::shared_ptr<ManagedObject>& object) {
  const int index = entity_ ? entity_->relationshipIndex(relationship) : -1;
  if (index < 0 || entity_->relationships[static_cast<std::size_t>(index)].toMany) return;
  willChange();
  links_[static_cast<std::size_t>(index)] = object ? std::optional<std::int64_t>(object->objectID()) : std::nullopt;
}

std::vector<std::shared_ptr<ManagedObject>> ManagedObject::objectsForKey(std::string_view relationship) const {
  const int index = entity_ ? entity_->relationshipIndex(relationship) : -1;
  auto context = context_.lock();
  if (index < 0 || !context) return {};
  const auto& description = entity_->relationships[static_cast<std::size_t>(index)];
  if (!description.toMany) return {};
  FetchRequest request{description.destination, Predicate::equal(description.inverse, id_), {}, 0, {}};
  auto objects = context->executeFetchRequest(request);
  return objects ? std::move(*objects) : std::vector<std::shared_ptr<ManagedObject>>();
}

void ManagedObject::willChange() {
  auto context = context_.lock();
  if (!context) return;
  if (!committed_ && !inserted_) committed_ = Snapshot{values_, links_};
  context->markChanged(*this);
}

}  // namespace platform::objectstore
