#include "screens/gallery/LMFetchedChangesBatch.h"

#include "applog/LoggerRegistry.h"

namespace lumora {

namespace store = platform::objectstore;

std::vector<LMFetchedChangesBatch::Change> LMFetchedChangesBatch::apply(platform::ui::CollectionView& view) {
  auto changes = std::move(changes_);
  changes_.clear();
  auto at = [](std::optional<std::size_t> row) { return platform::ui::IndexPath{0, static_cast<int>(row.value_or(0))}; };
  auto status = view.performBatchUpdates([&] {
    for (const auto& change : changes) {
      switch (change.type) {
        case store::FetchedResultsChangeType::Insert:
          view.insertItemsAtIndexPaths({at(change.to)});
          break;
        case store::FetchedResultsChangeType::Delete:
          view.deleteItemsAtIndexPaths({at(change.from)});
          break;
        case store::FetchedResultsChangeType::Move:
          view.moveItemAtIndexPath(at(change.from), at(change.to));
          break;
        case store::FetchedResultsChangeType::Update:
          view.reloadItemsAtIndexPaths({at(change.from)});
          break;
      }
    }
  });
  if (!status.ok()) QB_LOG_ERROR("{}", status.error().description());
  return changes;
}

}  // namespace lumora
