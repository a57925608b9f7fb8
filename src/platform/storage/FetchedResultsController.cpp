#include "platform/storage/FetchedResultsController.h"

#include <algorithm>
#include <unordered_map>

namespace platform::objectstore {
namespace {

// Marks the members of one longest increasing run of `sequence`.
std::vector<bool> longestIncreasing(const std::vector<std::size_t>& sequence) {
  std::vector<std::size_t> tails;  // positions in `sequence`
  std::vector<std::ptrdiff_t> previous(sequence.size(), -1);
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    auto at = std::lower_bound(tails.begin(), tails.end(), sequence[i],
                               [&](std::size_t position, std::size_t value) { return sequence[position] < value; });
    if (at != tails.begin()) previous[i] = static_cast<std::ptrdiff_t>(*(at - 1));
    if (at == tails.end()) {
      tails.push_back(i);
    } else {
      *at = i;
    }
  }
  std::vector<bool> member(sequence.size(), false);
  for (std::ptrdiff_t i = tails.empty() ? -1 : static_cast<std::ptrdiff_t>(tails.back()); i >= 0; i = previous[i]) {
    member[static_cast<std::size_t>(i)] = true;
  }
  return member;
}

}  // namespace

FetchedResultsController::FetchedResultsController(FetchRequest request, std::shared_ptr<ManagedObjectContext> context)
    : request_(std::move(request)), context_(std::move(context)) {}

FetchedResultsController::~FetchedResultsController() {
  if (token_ && context_) context_->removeSaveObserver(*token_);
}

Status FetchedResultsController::performFetch() {
  if (!context_) return Error(kObjectStoreErrorDomain, kObjectStoreErrorNoStore);
  auto objects = context_->executeFetchRequest(request_);
  if (!objects) return objects.error();
  objects_ = std::move(*objects);
  if (!token_) {
    token_ = context_->addSaveObserver([this](const SaveInfo& info) { contextDidSave(info); });
  }
  return Status();
}

std::shared_ptr<ManagedObject> FetchedResultsController::objectAtIndex(std::size_t index) const {
  return index < objects_.size() ? objects_[index] : nullptr;
}

std::optional<std::size_t> FetchedResultsController::indexOfObject(const std::shared_ptr<ManagedObject>& object) const {
  auto found = std::find(objects_.begin(), objects_.end(), object);
  if (found == objects_.end()) return std::nullopt;
  return static_cast<std::size_t>(found - objects_.begin());
}

void FetchedResultsController::contextDidSave(const SaveInfo& info) {
  auto fetched = context_->executeFetchRequest(request_);
  if (!fetched) return;
  std::vector<std::shared_ptr<ManagedObject>> now = std::move(*fetched);
  std::vector<std::shared_ptr<ManagedObject>> before = std::move(objects_);
  objects_ = now;

  std::unordered_map<std::int64_t, std::size_t> oldPositions;
  oldPositions.reserve(before.size());
  for (std::size_t i = 0; i < before.size(); ++i) oldPositions.emplace(before[i]->objectID(), i);
  std::unordered_map<std::int64_t, std::size_t> newPositions;
  newPositions.reserve(now.size());
  for (std::size_t i = 0; i < now.size(); ++i) newPositions.emplace(now[i]->objectID(), i);

  struct Report {
    std::shared_ptr<ManagedObject> object;
    std::optional<std::size_t> oldIndex;
    FetchedResultsChangeType type;
    std::optional<std::size_t> newIndex;
  };
  std::vector<Report> reports;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (!newPositions.count(before[i]->objectID())) {
      reports.push_back({before[i], i, FetchedResultsChangeType::Delete, std::nullopt});
    }
  }
  std::vector<std::size_t> survivorsOld;  // old positions of the survivors, in new order
  std::vector<std::size_t> survivorsNew;
  for (std::size_t i = 0; i < now.size(); ++i) {
    auto old = oldPositions.find(now[i]->objectID());
    if (old == oldPositions.end()) {
      reports.push_back({now[i], std::nullopt, FetchedResultsChangeType::Insert, i});
    } else {
      survivorsOld.push_back(old->second);
      survivorsNew.push_back(i);
    }
  }
  const std::vector<bool> stays = longestIncreasing(survivorsOld);
  for (std::size_t k = 0; k < survivorsOld.size(); ++k) {
    const auto& object = now[survivorsNew[k]];
    if (!stays[k]) {
      reports.push_back({object, survivorsOld[k], FetchedResultsChangeType::Move, survivorsNew[k]});
    } else if (info.updated.count(object->objectID())) {
      reports.push_back({object, survivorsOld[k], FetchedResultsChangeType::Update, survivorsNew[k]});
    }
  }
  if (reports.empty()) return;
  auto delegate = delegate_.lock();
  if (!delegate) return;
  if (delegate->controllerWillChangeContent) delegate->controllerWillChangeContent();
  if (delegate->didChangeObject) {
    for (const auto& report : reports) {
      delegate->didChangeObject(report.object, report.oldIndex, report.type, report.newIndex);
    }
  }
  if (delegate->controllerDidChangeContent) delegate->controllerDidChangeContent();
}

}  // namespace platform::objectstore
