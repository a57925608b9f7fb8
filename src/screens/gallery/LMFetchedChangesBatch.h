// The object changes of one database change, gathered as a fetched-results
// controller reports them and applied to a one-section collection view in
// one batch update (inserts at their new rows, deletes at their old rows,
// moves, and updates as reloads of the old rows).
//
// Ownership: a value the grid owns. Threading: main thread.
// Failure: a batch the collection view refuses is logged (the view then
// reloads everything).
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/storage/FetchedResultsController.h"
#include "platform/ui/CollectionView.h"

namespace lumora {

class LMFetchedChangesBatch {
 public:
  struct Change {
    platform::objectstore::FetchedResultsChangeType type;
    std::optional<std::size_t> from, to;
  };

  void begin() { changes_.clear(); }
  void record(std::optional<std::size_t> from, platform::objectstore::FetchedResultsChangeType type,
              std::optional<std::size_t> to) {
    changes_.push_back({type, from, to});
  }
  // Applies what was gathered and empties the batch; returns the changes.
  std::vector<Change> apply(platform::ui::CollectionView& view);

 private:
  std::vector<Change> changes_;
};

}  // namespace lumora
