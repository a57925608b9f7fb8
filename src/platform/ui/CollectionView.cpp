#include "platform/ui/CollectionView.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "platform/dispatch/MainQueue.h"

namespace platform::ui {

void CollectionView::setDelegate(std::weak_ptr<CollectionViewDelegate> delegate) {
  delegate_ = delegate;
  ScrollView::setDelegate(std::weak_ptr<ScrollViewDelegate>(delegate.lock()));
}

void CollectionView::registerCell(const std::string& identifier,
                                  std::function<std::shared_ptr<CollectionViewCell>()> factory) {
  factories_[identifier] = std::move(factory);
}

std::shared_ptr<CollectionViewCell> CollectionView::dequeueReusableCell(const std::string& identifier) {
  auto& pool = pool_[identifier];
  if (!pool.empty()) {
    auto cell = pool.back();
    pool.pop_back();
    cell->setSelected(false);
    cell->prepareForReuse();
    return cell;
  }
  auto factory = factories_.find(identifier);
  return factory != factories_.end() && factory->second ? factory->second() : nullptr;
}

void CollectionView::recycleAll() {
  for (auto& [path, cell] : visible_) {
    cell->removeFromSuperview();
    pool_[cell->reuseIdentifier()].push_back(cell);
  }
  visible_.clear();
}

void CollectionView::reloadData() {
  recycleAll();
  layoutItems();
}

void CollectionView::recycleMovedBy(const Batch& batch) {
  // Per section: the rows that left (deleted or moved away) before the
  // batch and the rows that came (inserted or moved in) after it.
  std::map<int, std::vector<int>> gone, came;
  for (const auto& p : batch.deleted) gone[p.section].push_back(p.row);
  for (const auto& p : batch.inserted) came[p.section].push_back(p.row);
  for (const auto& [from, to] : batch.moved) {
    gone[from.section].push_back(from.row);
    came[to.section].push_back(to.row);
  }
  for (auto* rows : {&gone, &came}) {
    for (auto& [section, list] : *rows) {
      std::sort(list.begin(), list.end());
      list.erase(std::unique(list.begin(), list.end()), list.end());
    }
  }
  // The row an item stays at: its rank among the rows that stayed, placed
  // among the rows that came.
  auto stays = [&](const IndexPath& p) {
    const auto& left = gone[p.section];
    if (std::binary_search(left.begin(), left.end(), p.row)) return false;
    int rank = p.row - static_cast<int>(std::lower_bound(left.begin(), left.end(), p.row) - left.begin());
    int row = 0;
    for (int arrived : came[p.section]) {
      if (arrived > row + rank) break;
      ++row;
    }
    return row + rank == p.row;
  };
  for (auto it = visible_.begin(); it != visible_.end();) {
    if (stays(it->first)) {
      ++it;
      continue;
    }
    it->second->removeFromSuperview();
    pool_[it->second->reuseIdentifier()].push_back(it->second);
    it = visible_.erase(it);
  }
}

void CollectionView::layoutItems() {
  frames_.clear();
  auto source = dataSource_.lock();
  auto delegate = delegate_.lock();
  double width = frame().width;
  laidOutWidth_ = width;
  double y = 0;
  int sections = source ? source->numberOfSectionsInCollectionView(*this) : 0;
  for (int s = 0; s < sections; ++s) {
    y += layout_.sectionInset.top;
    double left = layout_.sectionInset.left;
    double right = width - layout_.sectionInset.right;
    double x = left;
    double rowHeight = 0;
    std::vector<Rect> rects;
    std::size_t rowStart = 0;
    // A line of several items spreads the room left over evenly between
    // them, so the columns of a grid meet both edges.
    auto justifyRow = [&] {
      const std::size_t n = rects.size() - rowStart;
      if (n < 2) return;
      const double spare = right - rects.back().maxX();
      for (std::size_t k = 1; k < n; ++k) {
        rects[rowStart + k].x += spare * static_cast<double>(k) / static_cast<double>(n - 1);
      }
    };
    // The last line, when it holds fewer items than fit, keeps to the
    // columns a full line of its items has (spreading it out instead left
    // gaps like missing items in its middle); items of other sizes stay
    // at the minimum spacing.
    auto alignLastRow = [&] {
      const std::size_t n = rects.size() - rowStart;
      if (n < 2) return;
      const double width = rects[rowStart].width;
      for (std::size_t k = rowStart; k < rects.size(); ++k) {
        if (rects[k].width != width) return;
      }
      const double room = right - left;
      const auto fit = static_cast<std::size_t>(
          std::floor((room + layout_.minimumInteritemSpacing + 0.001) / (width + layout_.minimumInteritemSpacing)));
      if (fit <= n) {
        justifyRow();
        return;
      }
      const double spacing = (room - static_cast<double>(fit) * width) / static_cast<double>(fit - 1);
      for (std::size_t k = 0; k < n; ++k) rects[rowStart + k].x = left + static_cast<double>(k) * (width + spacing);
    };
    int count = source->numberOfItemsInSection(*this, s);
    for (int i = 0; i < count; ++i) {
      Size size = delegate ? delegate->sizeForItemAtIndexPath(*this, {s, i}).value_or(layout_.itemSize)
                           : layout_.itemSize;
      if (x > left && x + size.width > right + 0.001) {
        justifyRow();
        rowStart = rects.size();
        x = left;
        y += rowHeight + layout_.minimumLineSpacing;
        rowHeight = 0;
      }
      rects.push_back({x, y, size.width, size.height});
      x += size.width + layout_.minimumInteritemSpacing;
      rowHeight = std::max(rowHeight, size.height);
    }
    alignLastRow();
    y += rowHeight + layout_.sectionInset.bottom;
    frames_.push_back(std::move(rects));
  }
  std::erase_if(selected_, [this](const IndexPath& p) { return frameForItemAtIndexPath(p).isZero(); });
  setContentSize({width, y});
  setContentOffset(clampedOffset(contentOffset()));
  setNeedsLayout();
  layoutIfNeeded();
}

int CollectionView::numberOfItemsInSection(int section) const {
  return section >= 0 && section < numberOfSections() ? static_cast<int>(frames_[static_cast<std::size_t>(section)].size())
                                                      : 0;
}

Rect CollectionView::frameForItemAtIndexPath(IndexPath p) const {
  if (p.row < 0 || p.row >= numberOfItemsInSection(p.section)) return {};
  return frames_[static_cast<std::size_t>(p.section)][static_cast<std::size_t>(p.row)];
}

std::optional<IndexPath> CollectionView::indexPathForItemAtPoint(Point point) const {
  for (int s = 0; s < numberOfSections(); ++s) {
    for (int i = 0; i < numberOfItemsInSection(s); ++i) {
      if (frameForItemAtIndexPath({s, i}).contains(point)) return IndexPath{s, i};
    }
  }
  return std::nullopt;
}

std::shared_ptr<CollectionViewCell> CollectionView::cellForItemAtIndexPath(IndexPath p) const {
  auto found = visible_.find(p);
  return found == visible_.end() ? nullptr : found->second;
}

std::vector<IndexPath> CollectionView::indexPathsForVisibleItems() const {
  std::vector<IndexPath> out;
  for (auto& [path, cell] : visible_) out.push_back(path);
  return out;
}

std::vector<IndexPath> CollectionView::indexPathsForSelectedItems() const { return selected_; }

void CollectionView::selectItemAtIndexPath(IndexPath p) {
  if (!multiple_) {
    for (auto& old : std::vector<IndexPath>(selected_)) deselectItemAtIndexPath(old);
  }
  if (std::find(selected_.begin(), selected_.end(), p) == selected_.end()) selected_.push_back(p);
  if (auto cell = cellForItemAtIndexPath(p)) cell->setSelected(true);
}

void CollectionView::deselectItemAtIndexPath(IndexPath p) {
  std::erase(selected_, p);
  if (auto cell = cellForItemAtIndexPath(p)) cell->setSelected(false);
}

void CollectionView::insertItemsAtIndexPaths(const std::vector<IndexPath>& paths) {
  if (batch_) batch_->inserted.insert(batch_->inserted.end(), paths.begin(), paths.end());
}
void CollectionView::deleteItemsAtIndexPaths(const std::vector<IndexPath>& paths) {
  if (batch_) batch_->deleted.insert(batch_->deleted.end(), paths.begin(), paths.end());
}
void CollectionView::reloadItemsAtIndexPaths(const std::vector<IndexPath>& paths) {
  // A reload changes no count; outside a batch it redraws the cells.
  for (auto& p : paths) {
    auto found = visible_.find(p);
    if (found == visible_.end()) continue;
    found->second->removeFromSuperview();
    pool_[found->second->reuseIdentifier()].push_back(found->second);
    visible_.erase(found);
  }
  if (!batch_) setNeedsLayout();
}
void CollectionView::moveItemAtIndexPath(IndexPath from, IndexPath to) {
  if (batch_) batch_->moved.emplace_back(from, to);
}
void CollectionView::insertSections(const std::vector<int>& sections) {
  if (batch_) batch_->insertedSections.insert(batch_->insertedSections.end(), sections.begin(), sections.end());
}
void CollectionView::deleteSections(const std::vector<int>& sections) {
  if (batch_) batch_->deletedSections.insert(batch_->deletedSections.end(), sections.begin(), sections.end());
}
void CollectionView::reloadSections(const std::vector<int>&) {}

platform::Status CollectionView::checkBatch(const Batch& batch, const std::vector<int>& before) const {
  auto source = dataSource_.lock();
  auto& self = const_cast<CollectionView&>(*this);
  int sectionsAfter = source ? source->numberOfSectionsInCollectionView(self) : 0;
  int expectedSections = static_cast<int>(before.size()) + static_cast<int>(batch.insertedSections.size()) -
                         static_cast<int>(batch.deletedSections.size());
  if (sectionsAfter != expectedSections) {
    return platform::Error(kCollectionViewErrorDomain, kCollectionViewInconsistentUpdate,
                           platform::Json::object({{"NSLocalizedDescription",
                             fmt::format("invalid number of sections: {} after the update, {} before, {} inserted, "
                                         "{} deleted",
                                         sectionsAfter, before.size(), batch.insertedSections.size(),
                                         batch.deletedSections.size())}}));
  }
  // Old section -> new section, past the deleted and inserted ones.
  int newIndex = 0;
  for (int old = 0; old < static_cast<int>(before.size()); ++old) {
    if (std::count(batch.deletedSections.begin(), batch.deletedSections.end(), old)) continue;
    while (std::count(batch.insertedSections.begin(), batch.insertedSections.end(), newIndex)) ++newIndex;
    auto count = [](const std::vector<IndexPath>& paths, int section) {
      return static_cast<int>(std::count_if(paths.begin(), paths.end(), [&](const IndexPath& p) { return p.section == section; }));
    };
    int movedIn = 0, movedOut = 0;
    for (auto& [from, to] : batch.moved) {
      if (from.section == old) ++movedOut;
      if (to.section == newIndex) ++movedIn;
    }
    int expected = before[static_cast<std::size_t>(old)] + count(batch.inserted, newIndex) -
                   count(batch.deleted, old) + movedIn - movedOut;
    int after = source->numberOfItemsInSection(self, newIndex);
    if (after != expected) {
      return platform::Error(
          kCollectionViewErrorDomain, kCollectionViewInconsistentUpdate,
          platform::Json::object({{"NSLocalizedDescription",
            fmt::format("invalid number of items in section {}: {} after the update, {} expected ({} before, {} "
                        "inserted, {} deleted, {} moved in, {} moved out)",
                        newIndex, after, expected, before[static_cast<std::size_t>(old)], count(batch.inserted, newIndex),
                        count(batch.deleted, old), movedIn, movedOut)}}));
    }
    ++newIndex;
  }
  return platform::Status();
}

platform::Status CollectionView::performBatchUpdates(const std::function<void()>& updates,
                                                     std::function<void(bool finished)> completion) {
  std::vector<int> before;
  for (int s = 0; s < numberOfSections(); ++s) before.push_back(numberOfItemsInSection(s));
  batch_ = Batch{};
  if (updates) updates();
  Batch batch = std::move(*batch_);
  batch_.reset();
  platform::Status status = checkBatch(batch, before);
  if (status.ok() && batch.insertedSections.empty() && batch.deletedSections.empty()) {
    recycleMovedBy(batch);
    layoutItems();
    for (auto& [path, cell] : visible_) cell->setFrame(frameForItemAtIndexPath(path));
  } else {
    reloadData();
  }
  if (completion) {
    bool ok = status.ok();
    MainQueue::main().async([completion = std::move(completion), ok] { completion(ok); });
  }
  return status;
}

void CollectionView::layoutSubviews() {
  // A new width (a turn) flows the items into rows of its own.
  if (frame().width != laidOutWidth_) {
    layoutItems();
    for (auto& [path, cell] : visible_) cell->setFrame(frameForItemAtIndexPath(path));
  }
  Rect visibleRect = bounds();
  for (auto it = visible_.begin(); it != visible_.end();) {
    if (frameForItemAtIndexPath(it->first).intersects(visibleRect)) {
      ++it;
      continue;
    }
    it->second->removeFromSuperview();
    pool_[it->second->reuseIdentifier()].push_back(it->second);
    it = visible_.erase(it);
  }
  auto source = dataSource_.lock();
  if (!source) return;
  for (int s = 0; s < numberOfSections(); ++s) {
    for (int i = 0; i < numberOfItemsInSection(s); ++i) {
      Rect rect = frameForItemAtIndexPath({s, i});
      if (!rect.intersects(visibleRect) || visible_.count({s, i})) continue;
      auto cell = source->cellForItemAtIndexPath(*this, {s, i});
      if (!cell) continue;
      cell->setFrame(rect);
      cell->setSelected(std::find(selected_.begin(), selected_.end(), IndexPath{s, i}) != selected_.end());
      insertSubview(cell, 0);
      visible_[{s, i}] = cell;
    }
  }
}

void CollectionView::tappedAt(Point location) {
  auto p = indexPathForItemAtPoint(location);
  if (!p) return;
  bool was = std::find(selected_.begin(), selected_.end(), *p) != selected_.end();
  if (multiple_ && was) {
    deselectItemAtIndexPath(*p);
  } else {
    selectItemAtIndexPath(*p);
  }
  if (auto delegate = delegate_.lock()) delegate->didSelectItemAtIndexPath(*this, *p);
}

}  // namespace platform::ui
