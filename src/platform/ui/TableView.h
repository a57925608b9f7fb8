// A table view: rows in sections, one cell per visible row, cells reused by
// identifier as rows scroll out and in (dequeueReusableCell), selection by
// tap. Data source and delegate are held weakly; the delegate's methods
// are optional (an unanswered height is the table's rowHeight, an
// unanswered header or footer height 0). A cell may carry an accessory view
// at its right edge (a switch, say).
//
// Ownership: a view, made with std::make_shared; it owns its cells and its
// reuse pool. Threading: main thread. Nothing fails: a data source that
// returns no cell leaves the row empty.
#pragma once

#include <compare>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"

namespace platform::ui {

struct IndexPath {
  int section = 0;
  int row = 0;  // the item of a collection view
  friend auto operator<=>(const IndexPath&, const IndexPath&) = default;
};

class TableViewCell : public View {
 public:
  explicit TableViewCell(std::string reuseIdentifier = "");
  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  const std::shared_ptr<View>& contentView() const { return contentView_; }
  const std::shared_ptr<Label>& textLabel() const { return textLabel_; }
  const std::shared_ptr<View>& accessoryView() const { return accessoryView_; }
  void setAccessoryView(std::shared_ptr<View> view);
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool selected) { selected_ = selected; }
  // Called when the cell is taken from the reuse pool.
  virtual void prepareForReuse() {}
  void layoutSubviews() override;
  void draw(DisplayList& list) const override;

 private:
  std::string reuseIdentifier_;
  std::shared_ptr<View> contentView_ = std::make_shared<View>();
  std::shared_ptr<Label> textLabel_ = std::make_shared<Label>();
  std::shared_ptr<View> accessoryView_;
  bool selected_ = false;
};

class TableView;

class TableViewDataSource {
 public:
  virtual ~TableViewDataSource() = default;
  virtual int numberOfSectionsInTableView(TableView&) { return 1; }
  virtual int numberOfRowsInSection(TableView& tableView, int section) = 0;
  virtual std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView& tableView, IndexPath indexPath) = 0;
};

class TableViewDelegate : public ScrollViewDelegate {
 public:
  virtual std::optional<double> heightForRowAtIndexPath(TableView&, IndexPath) { return std::nullopt; }
  virtual std::optional<double> heightForHeaderInSection(TableView&, int) { return std::nullopt; }
  virtual std::shared_ptr<View> viewForHeaderInSection(TableView&, int) { return nullptr; }
  virtual std::optional<double> heightForFooterInSection(TableView&, int) { return std::nullopt; }
  virtual std::shared_ptr<View> viewForFooterInSection(TableView&, int) { return nullptr; }
  virtual void didSelectRowAtIndexPath(TableView&, IndexPath) {}
};

class TableView : public ScrollView {
 public:
  explicit TableView(Rect frame = {}) : ScrollView(frame) {}

  void setDataSource(std::weak_ptr<TableViewDataSource> dataSource) { dataSource_ = std::move(dataSource); }
  void setDelegate(std::weak_ptr<TableViewDelegate> delegate);
  double rowHeight() const { return rowHeight_; }
  void setRowHeight(double height) { rowHeight_ = height; }

  // Cells of `identifier` come from the pool, else from the factory
  // registered for it, else nullptr.
  void registerCell(const std::string& identifier, std::function<std::shared_ptr<TableViewCell>()> factory);
  std::shared_ptr<TableViewCell> dequeueReusableCell(const std::string& identifier);

  void reloadData();
  int numberOfSections() const { return static_cast<int>(rows_.size()); }
  int numberOfRowsInSection(int section) const;
  Rect rectForRowAtIndexPath(IndexPath indexPath) const;
  std::optional<IndexPath> indexPathForRowAtPoint(Point point) const;
  // The cell shown for a visible row (nullptr when the row is not visible).
  std::shared_ptr<TableViewCell> cellForRowAtIndexPath(IndexPath indexPath) const;
  // The row a visible cell shows.
  std::optional<IndexPath> indexPathForCell(const TableViewCell& cell) const;
  // A section's footer view, once laid out (nullptr when it has none).
  std::shared_ptr<View> footerViewForSection(int section) const;
  std::vector<IndexPath> indexPathsForVisibleRows() const;
  std::optional<IndexPath> indexPathForSelectedRow() const { return selected_; }
  void selectRowAtIndexPath(std::optional<IndexPath> indexPath);
  void deselectRowAtIndexPath(IndexPath indexPath);
  void scrollToRowAtIndexPath(IndexPath indexPath);

  void layoutSubviews() override;

 protected:
  void tappedAt(Point location) override;

 private:
  std::weak_ptr<TableViewDataSource> dataSource_;
  std::weak_ptr<TableViewDelegate> delegate_;
  double rowHeight_ = 44;
  std::vector<std::vector<Rect>> rows_;
  std::vector<Rect> headerRects_;
  std::vector<Rect> footerRects_;
  std::map<int, std::shared_ptr<View>> headers_;
  std::map<int, std::shared_ptr<View>> footers_;
  std::map<IndexPath, std::shared_ptr<TableViewCell>> visible_;
  std::map<std::string, std::vector<std::shared_ptr<TableViewCell>>> pool_;
  std::map<std::string, std::function<std::shared_ptr<TableViewCell>()>> factories_;
  std::optional<IndexPath> selected_;
};

}  // namespace platform::ui
