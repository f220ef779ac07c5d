// TableView: a scrolling list of rows in sections. It asks its data source for counts and for
// the cells of the rows in view, reusing cells that left the view (dequeueReusableCell); rows
// have a fixed height, the delegate's, or (kAutomaticDimension) the height their cell fits,
// estimated until they are laid out; an optional header view sits above the first row. Insertions,
// deletions and reloads of rows, alone or within begin / endUpdates, must leave each section with
// as many rows as the data source reports: otherwise endUpdates throws dz::Exception
// "NSInternalInconsistencyException" and the table keeps its rows. Data source and delegate are
// held weakly. Main thread only.
#pragma once

#include <compare>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"

namespace dz::ui {

class TableView;

struct IndexPath {
  int section = 0;
  int row = 0;
  friend auto operator<=>(const IndexPath&, const IndexPath&) = default;
};

enum class RowAnimation { Fade, Right, Left, Top, Bottom, None, Middle, Automatic = 100 };

class TableViewCell : public View {
 public:
  explicit TableViewCell(std::string reuseIdentifier = {}, const Rect& frame = {});
  const char* className() const override { return "TableViewCell"; }

  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  const std::shared_ptr<View>& contentView() const { return contentView_; }
  // A label filling the content view, made on first use.
  const std::shared_ptr<Label>& textLabel();
  // Called before a reused cell is handed out again.
  virtual void prepareForReuse() {}
  bool isSelected() const { return selected_; }
  void setSelected(bool selected) { selected_ = selected; }

  void layoutSubviews() override;
  // The fixed height, else 44.
  Size sizeThatFits(Size size) const override;

 private:
  std::string reuseIdentifier_;
  std::shared_ptr<View> contentView_;
  std::shared_ptr<Label> textLabel_;
  bool selected_ = false;
};

class TableViewDataSource {
 public:
  virtual ~TableViewDataSource() = default;
  virtual int numberOfSections(TableView&) { return 1; }
  virtual int numberOfRows(TableView&, int section) = 0;
  virtual std::shared_ptr<TableViewCell> cellForRow(TableView&, const IndexPath&) = 0;
};

class TableViewDelegate : public ScrollViewDelegate {
 public:
  virtual std::optional<double> heightForRow(TableView&, const IndexPath&) { return std::nullopt; }
  virtual void didSelectRow(TableView&, const IndexPath&) {}
};

struct RowUpdate {
  enum class Kind { Insert, Delete, Reload };
  Kind kind;
  IndexPath indexPath;
  RowAnimation animation;
  friend bool operator==(const RowUpdate&, const RowUpdate&) = default;
};

class TableView : public ScrollView {
 public:
  static constexpr double kAutomaticDimension = -1;
  using CellFactory = std::function<std::shared_ptr<TableViewCell>(const std::string& identifier)>;

  explicit TableView(const Rect& frame = {});
  const char* className() const override { return "TableView"; }

  void setDataSource(std::weak_ptr<TableViewDataSource> dataSource);
  void setDelegate(std::weak_ptr<TableViewDelegate> delegate);
  double rowHeight() const { return rowHeight_; }
  void setRowHeight(double height);
  double estimatedRowHeight() const { return estimatedRowHeight_; }
  void setEstimatedRowHeight(double height);
  // A view above the first row, as tall as its frame and as wide as the table, that scrolls with
  // the rows; none by default.
  const std::shared_ptr<View>& tableHeaderView() const { return headerView_; }
  void setTableHeaderView(std::shared_ptr<View> view);

  // Cells. dequeueReusableCell() hands out a cell that left the view or a new one from the
  // identifier's factory; an identifier never registered throws dz::Exception.
  void registerCell(std::string identifier, CellFactory factory);
  std::shared_ptr<TableViewCell> dequeueReusableCell(const std::string& identifier,
                                                     const IndexPath& indexPath);

  // The table's own counts (as of the last reload or update).
  int numberOfSections() const { return static_cast<int>(sections_.size()); }
  int numberOfRows(int section) const;

  void reloadData();
  void reloadSections(const std::vector<int>& sections, RowAnimation animation);
  void insertRows(const std::vector<IndexPath>& rows, RowAnimation animation);
  void deleteRows(const std::vector<IndexPath>& rows, RowAnimation animation);
  void reloadRows(const std::vector<IndexPath>& rows, RowAnimation animation);
  void beginUpdates();
  void endUpdates();
  // beginUpdates, `updates`, endUpdates; `completion` runs on the main queue afterwards.
  void performBatchUpdates(const std::function<void()>& updates,
                           std::function<void(bool)> completion = {});
  // The row changes of the last update, in the order they were asked for.
  const std::vector<RowUpdate>& lastUpdates() const { return lastUpdates_; }

  // The cell of a row in view, else none.
  std::shared_ptr<TableViewCell> cellForRow(const IndexPath& indexPath) const;
  std::optional<IndexPath> indexPathForCell(const TableViewCell* cell) const;
  std::vector<IndexPath> indexPathsForVisibleRows() const;
  std::vector<std::shared_ptr<TableViewCell>> visibleCells() const;
  Rect rectForRow(const IndexPath& indexPath);
  void scrollToRow(const IndexPath& indexPath, bool animated);

  std::optional<IndexPath> indexPathForSelectedRow() const { return selected_; }
  void selectRow(std::optional<IndexPath> indexPath);
  // A user's tap on a row: selects it and tells the delegate.
  void simulateSelectRow(const IndexPath& indexPath);

  void layoutSubviews() override;
  std::string describe() const override;

 private:
  struct Section {
    std::vector<double> heights;
    std::vector<bool> measured;
  };
  void ensureLoaded();
  void loadSection(Section& section, int index);
  double estimate() const;
  // Where the first row starts: below the header view.
  double rowsTop() const { return headerView_ ? headerView_->frame().height() : 0; }
  bool automaticHeights() const { return rowHeight_ == kAutomaticDimension; }
  void recycle(const std::shared_ptr<TableViewCell>& cell);
  void record(RowUpdate::Kind kind, const std::vector<IndexPath>& rows, RowAnimation animation);
  void applyUpdates(std::vector<RowUpdate> updates);
  std::shared_ptr<TableViewCell> cellForLayout(const IndexPath& indexPath);

  std::weak_ptr<TableViewDataSource> dataSource_;
  std::weak_ptr<TableViewDelegate> delegate_;
  double rowHeight_ = 44;
  double estimatedRowHeight_ = 0;
  std::shared_ptr<View> headerView_;
  std::vector<Section> sections_;
  bool loaded_ = false;
  std::map<IndexPath, std::shared_ptr<TableViewCell>> visible_;
  std::map<std::string, std::vector<std::shared_ptr<TableViewCell>>> reusePool_;
  std::map<std::string, CellFactory> factories_;
  int updateDepth_ = 0;
  std::vector<RowUpdate> pending_;
  std::vector<RowUpdate> lastUpdates_;
  std::optional<IndexPath> selected_;
};

}  // namespace dz::ui
