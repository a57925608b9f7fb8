#include "platform/ui/TableView.h"

namespace platform::ui {

TableViewCell::TableViewCell(std::string reuseIdentifier) : reuseIdentifier_(std::move(reuseIdentifier)) {
  setBackgroundColor(Color::white());
  textLabel_->setFont(Font::systemFont(17));
}

void TableViewCell::layoutSubviews() {
  // Added here, not in the constructor: a view made by make_shared is not
  // yet shared while it is being constructed.
  if (!contentView_->superview()) insertSubview(contentView_, 0);
  if (!textLabel_->superview()) contentView_->addSubview(textLabel_);
  Rect b = bounds();
  contentView_->setFrame({0, 0, b.width, b.height});
  double right = 15;
  if (accessoryView_) {
    Rect a = accessoryView_->frame();
    accessoryView_->setFrame({b.width - 15 - a.width, (b.height - a.height) / 2, a.width, a.height});
    right += a.width + 10;
  }
  textLabel_->setFrame({15, 0, b.width - 15 - right, b.height});
}

void TableViewCell::setAccessoryView(std::shared_ptr<View> view) {
  if (accessoryView_ == view) return;
  if (accessoryView_) accessoryView_->removeFromSuperview();
  accessoryView_ = std::move(view);
  if (accessoryView_) addSubview(accessoryView_);
  setNeedsLayout();
}

void TableViewCell::draw(DisplayList& list) const {
  if (selected_) list.fillRect(bounds(), colorWithHexString("d9d9d9"));
}

void TableView::setDelegate(std::weak_ptr<TableViewDelegate> delegate) {
  delegate_ = delegate;
  ScrollView::setDelegate(std::weak_ptr<ScrollViewDelegate>(delegate.lock()));
}

void TableView::registerCell(const std::string& identifier, std::function<std::shared_ptr<TableViewCell>()> factory) {
  factories_[identifier] = std::move(factory);
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCell(const std::string& identifier) {
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

void TableView::reloadData() {
  for (auto& [path, cell] : visible_) {
    cell->removeFromSuperview();
    pool_[cell->reuseIdentifier()].push_back(cell);
  }
  visible_.clear();
  for (auto& [section, header] : headers_) header->removeFromSuperview();
  for (auto& [section, footer] : footers_) footer->removeFromSuperview();
  headers_.clear();
  footers_.clear();
  rows_.clear();
  headerRects_.clear();
  footerRects_.clear();
  selected_.reset();
  auto source = dataSource_.lock();
  auto delegate = delegate_.lock();
  double y = 0;
  double width = frame().width;
  int sections = source ? source->numberOfSectionsInTableView(*this) : 0;
  for (int s = 0; s < sections; ++s) {
    double headerHeight = delegate ? delegate->heightForHeaderInSection(*this, s).value_or(0) : 0;
    headerRects_.push_back({0, y, width, headerHeight});
    y += headerHeight;
    std::vector<Rect> rects;
    int count = source->numberOfRowsInSection(*this, s);
    for (int r = 0; r < count; ++r) {
      double h = delegate ? delegate->heightForRowAtIndexPath(*this, {s, r}).value_or(rowHeight_) : rowHeight_;
      rects.push_back({0, y, width, h});
      y += h;
    }
    rows_.push_back(std::move(rects));
    double footerHeight = delegate ? delegate->heightForFooterInSection(*this, s).value_or(0) : 0;
    footerRects_.push_back({0, y, width, footerHeight});
    y += footerHeight;
  }
  setContentSize({width, y});
  setContentOffset(clampedOffset(contentOffset()));
  setNeedsLayout();
  layoutIfNeeded();
}

int TableView::numberOfRowsInSection(int section) const {
  return section >= 0 && section < numberOfSections() ? static_cast<int>(rows_[static_cast<std::size_t>(section)].size()) : 0;
}

Rect TableView::rectForRowAtIndexPath(IndexPath p) const {
  if (p.row < 0 || p.row >= numberOfRowsInSection(p.section)) return {};
  return rows_[static_cast<std::size_t>(p.section)][static_cast<std::size_t>(p.row)];
}

std::optional<IndexPath> TableView::indexPathForRowAtPoint(Point point) const {
  for (int s = 0; s < numberOfSections(); ++s) {
    for (int r = 0; r < numberOfRowsInSection(s); ++r) {
      if (rectForRowAtIndexPath({s, r}).contains(point)) return IndexPath{s, r};
    }
  }
  return std::nullopt;
}

std::shared_ptr<TableViewCell> TableView::cellForRowAtIndexPath(IndexPath p) const {
  auto found = visible_.find(p);
  return found == visible_.end() ? nullptr : found->second;
}

std::optional<IndexPath> TableView::indexPathForCell(const TableViewCell& cell) const {
  for (auto& [path, shown] : visible_) {
    if (shown.get() == &cell) return path;
  }
  return std::nullopt;
}

std::shared_ptr<View> TableView::footerViewForSection(int section) const {
  auto found = footers_.find(section);
  return found == footers_.end() ? nullptr : found->second;
}

std::vector<IndexPath> TableView::indexPathsForVisibleRows() const {
  std::vector<IndexPath> out;
  for (auto& [path, cell] : visible_) out.push_back(path);
  return out;
}

void TableView::selectRowAtIndexPath(std::optional<IndexPath> p) {
  if (selected_) {
    if (auto cell = cellForRowAtIndexPath(*selected_)) cell->setSelected(false);
  }
  selected_ = p;
  if (p) {
    if (auto cell = cellForRowAtIndexPath(*p)) cell->setSelected(true);
  }
}

void TableView::deselectRowAtIndexPath(IndexPath p) {
  if (selected_ == p) selectRowAtIndexPath(std::nullopt);
}

void TableView::scrollToRowAtIndexPath(IndexPath p) {
  setContentOffset(clampedOffset({0, rectForRowAtIndexPath(p).y}));
}

void TableView::layoutSubviews() {
  Rect visibleRect = bounds();
  // Cells that left the visible rectangle go back to the pool first, so the
  // rows coming in can take them.
  for (auto it = visible_.begin(); it != visible_.end();) {
    if (rectForRowAtIndexPath(it->first).intersects(visibleRect)) {
      ++it;
      continue;
    }
    it->second->removeFromSuperview();
    pool_[it->second->reuseIdentifier()].push_back(it->second);
    it = visible_.erase(it);
  }
  auto source = dataSource_.lock();
  auto delegate = delegate_.lock();
  for (int s = 0; s < numberOfSections(); ++s) {
    const Rect& headerRect = headerRects_[static_cast<std::size_t>(s)];
    if (headerRect.height > 0 && !headers_.count(s) && delegate) {
      if (auto header = delegate->viewForHeaderInSection(*this, s)) {
        header->setFrame(headerRect);
        addSubview(header);
        headers_[s] = header;
      }
    }
    const Rect& footerRect = footerRects_[static_cast<std::size_t>(s)];
    if (footerRect.height > 0 && !footers_.count(s) && delegate) {
      if (auto footer = delegate->viewForFooterInSection(*this, s)) {
        footer->setFrame(footerRect);
        addSubview(footer);
        footers_[s] = footer;
      }
    }
    for (int r = 0; r < numberOfRowsInSection(s); ++r) {
      Rect rect = rectForRowAtIndexPath({s, r});
      if (!rect.intersects(visibleRect) || visible_.count({s, r}) || !source) continue;
      auto cell = source->cellForRowAtIndexPath(*this, {s, r});
      if (!cell) continue;
      cell->setFrame(rect);
      cell->setSelected(selected_ == IndexPath{s, r});
      // Cells lie below the other subviews (headers, footers): after the
      // cells already shown, which come first.
      insertSubview(cell, visible_.size());
      visible_[{s, r}] = cell;
    }
  }
}

void TableView::tappedAt(Point location) {
  auto p = indexPathForRowAtPoint(location);
  if (!p) return;
  selectRowAtIndexPath(p);
  if (auto delegate = delegate_.lock()) delegate->didSelectRowAtIndexPath(*this, *p);
}

}  // namespace platform::ui
