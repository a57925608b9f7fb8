// A collection view with a flow layout: items of one size (or the size the
// delegate answers) in rows, row after row, section after section, each
// section inside its insets (flowed again when the view's width changes);
// cells reused by identifier as in the table view; selection by tap. Batch
// updates (inserting, deleting, reloading and moving items and sections)
// are checked as the platform checks them:
// after the updates the data source's counts must equal the counts before
// plus the inserts minus the deletes, section by section. A batch that
// fails the check is refused with an error and the view reloads everything.
// A batch that passes keeps the visible cells of the items it left where
// they were (same section and row, not reloaded) as they are, and asks the
// data source only for the others.
//
// Ownership: a view, made with std::make_shared; data source and delegate
// are held weakly. Threading: main thread. Failure: the batch check.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/TableView.h"

namespace platform::ui {

inline constexpr const char* kCollectionViewErrorDomain = "platform.ui.collectionview";
inline constexpr std::int64_t kCollectionViewInconsistentUpdate = 1;

class CollectionViewCell : public View {
 public:
  explicit CollectionViewCell(std::string reuseIdentifier = "") : reuseIdentifier_(std::move(reuseIdentifier)) {}
  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool selected) { selected_ = selected; }
  virtual void prepareForReuse() {}

 private:
  std::string reuseIdentifier_;
  bool selected_ = false;
};

struct FlowLayout {
  Size itemSize{50, 50};
  double minimumLineSpacing = 10;
  double minimumInteritemSpacing = 10;
  EdgeInsets sectionInset;
};

class CollectionView;

class CollectionViewDataSource {
 public:
  virtual ~CollectionViewDataSource() = default;
  virtual int numberOfSectionsInCollectionView(CollectionView&) { return 1; }
  virtual int numberOfItemsInSection(CollectionView& collectionView, int section) = 0;
  virtual std::shared_ptr<CollectionViewCell> cellForItemAtIndexPath(CollectionView& collectionView,
                                                                     IndexPath indexPath) = 0;
};

class CollectionViewDelegate : public ScrollViewDelegate {
 public:
  virtual std::optional<Size> sizeForItemAtIndexPath(CollectionView&, IndexPath) { return std::nullopt; }
  virtual void didSelectItemAtIndexPath(CollectionView&, IndexPath) {}
};

class CollectionView : public ScrollView {
 public:
  explicit CollectionView(Rect frame = {}, FlowLayout layout = {}) : ScrollView(frame), layout_(layout) {}

  FlowLayout& layout() { return layout_; }
  void setDataSource(std::weak_ptr<CollectionViewDataSource> dataSource) { dataSource_ = std::move(dataSource); }
  void setDelegate(std::weak_ptr<CollectionViewDelegate> delegate);
  void registerCell(const std::string& identifier, std::function<std::shared_ptr<CollectionViewCell>()> factory);
  std::shared_ptr<CollectionViewCell> dequeueReusableCell(const std::string& identifier);

  void reloadData();
  int numberOfSections() const { return static_cast<int>(frames_.size()); }
  int numberOfItemsInSection(int section) const;
  Rect frameForItemAtIndexPath(IndexPath indexPath) const;
  std::optional<IndexPath> indexPathForItemAtPoint(Point point) const;
  std::shared_ptr<CollectionViewCell> cellForItemAtIndexPath(IndexPath indexPath) const;
  std::vector<IndexPath> indexPathsForVisibleItems() const;
  std::vector<IndexPath> indexPathsForSelectedItems() const;
  void selectItemAtIndexPath(IndexPath indexPath);
  void deselectItemAtIndexPath(IndexPath indexPath);
  bool allowsMultipleSelection() const { return multiple_; }
  void setAllowsMultipleSelection(bool multiple) { multiple_ = multiple; }

  // Batch updates: the calls below, made inside `updates`, are checked
  // against the data source's counts when it returns.
  platform::Status performBatchUpdates(const std::function<void()>& updates,
                                       std::function<void(bool finished)> completion = {});
  void insertItemsAtIndexPaths(const std::vector<IndexPath>& paths);
  void deleteItemsAtIndexPaths(const std::vector<IndexPath>& paths);
  void reloadItemsAtIndexPaths(const std::vector<IndexPath>& paths);
  void moveItemAtIndexPath(IndexPath from, IndexPath to);
  void insertSections(const std::vector<int>& sections);
  void deleteSections(const std::vector<int>& sections);
  void reloadSections(const std::vector<int>& sections);

  void layoutSubviews() override;

 protected:
  void tappedAt(Point location) override;

 private:
  struct Batch {
    std::vector<IndexPath> inserted, deleted;
    std::vector<std::pair<IndexPath, IndexPath>> moved;
    std::vector<int> insertedSections, deletedSections;
  };
  platform::Status checkBatch(const Batch& batch, const std::vector<int>& before) const;
  void recycleAll();
  // Recycles the visible cells of items the batch moved to another place
  // (or removed); the others stay.
  void recycleMovedBy(const Batch& batch);
  // The items' frames and the content size from the data source, then the
  // visible cells laid out.
  void layoutItems();

  FlowLayout layout_;
  std::weak_ptr<CollectionViewDataSource> dataSource_;
  std::weak_ptr<CollectionViewDelegate> delegate_;
  std::vector<std::vector<Rect>> frames_;
  std::map<IndexPath, std::shared_ptr<CollectionViewCell>> visible_;
  std::map<std::string, std::vector<std::shared_ptr<CollectionViewCell>>> pool_;
  std::map<std::string, std::function<std::shared_ptr<CollectionViewCell>()>> factories_;
  std::vector<IndexPath> selected_;
  std::optional<Batch> batch_;
  double laidOutWidth_ = 0;
  bool multiple_ = false;
};

}  // namespace platform::ui
