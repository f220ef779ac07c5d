#include "platform/ui/table_view.h"

#include <algorithm>
#include <set>

#include "platform/dispatch_queue.h"
#include "platform/exception.h"

namespace dz::ui {
namespace {

constexpr double kDefaultRowHeight = 44;

[[noreturn]] void inconsistent(const std::string& reason) {
  throw dz::Exception(kInternalInconsistencyException, "Invalid table update: " + reason);
}

std::string where(const IndexPath& p) {
  return "row " + std::to_string(p.row) + " of section " + std::to_string(p.section);
}

}  // namespace

TableViewCell::TableViewCell(std::string reuseIdentifier, const Rect& frame)
    : View(frame),
      reuseIdentifier_(std::move(reuseIdentifier)),
      contentView_(std::make_shared<View>(Rect{{0, 0}, frame.size})) {
  setBackgroundColor(Color::whiteColor());
  contentView_->setAutoresizingMask(kFlexibleWidth | kFlexibleHeight);
  addSubview(contentView_);
}

const std::shared_ptr<Label>& TableViewCell::textLabel() {
  if (!textLabel_) {
    textLabel_ = std::make_shared<Label>();
    contentView_->addSubview(textLabel_);
    setNeedsLayout();
  }
  return textLabel_;
}

void TableViewCell::layoutSubviews() {
  contentView_->setFrame({{0, 0}, bounds().size});
  if (textLabel_) textLabel_->setFrame(contentView_->bounds().insetBy(16, 0));
}

Size TableViewCell::sizeThatFits(Size size) const {
  return {size.width, fixedHeight().value_or(kDefaultRowHeight)};
}

TableView::TableView(const Rect& frame) : ScrollView(frame) {
  setBackgroundColor(Color::whiteColor());
}

void TableView::setDataSource(std::weak_ptr<TableViewDataSource> dataSource) {
  dataSource_ = std::move(dataSource);
  loaded_ = false;
  setNeedsLayout();
}

void TableView::setDelegate(std::weak_ptr<TableViewDelegate> delegate) {
  delegate_ = delegate;
  setScrollDelegate(std::move(delegate));
  loaded_ = false;
  setNeedsLayout();
}

void TableView::setTableHeaderView(std::shared_ptr<View> view) {
  if (headerView_) headerView_->removeFromSuperview();
  headerView_ = std::move(view);
  if (headerView_) addSubview(headerView_);
  setNeedsLayout();
}

void TableView::setRowHeight(double height) {
  rowHeight_ = height;
  loaded_ = false;
  setNeedsLayout();
}

void TableView::setEstimatedRowHeight(double height) {
  estimatedRowHeight_ = height;
  loaded_ = false;
  setNeedsLayout();
}

double TableView::estimate() const {
  return estimatedRowHeight_ > 0 ? estimatedRowHeight_ : kDefaultRowHeight;
}

void TableView::registerCell(std::string identifier, CellFactory factory) {
  factories_[std::move(identifier)] = std::move(factory);
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCell(const std::string& identifier,
                                                              const IndexPath&) {
  auto& pool = reusePool_[identifier];
  if (!pool.empty()) {
    std::shared_ptr<TableViewCell> cell = std::move(pool.back());
    pool.pop_back();
    cell->prepareForReuse();
    return cell;
  }
  auto factory = factories_.find(identifier);
  if (factory == factories_.end() || !factory->second) {
    throw dz::Exception(kInternalInconsistencyException,
                        "No cell is registered for the reuse identifier \"" + identifier + "\"");
  }
  return factory->second(identifier);
}

int TableView::numberOfRows(int section) const {
  if (section < 0 || section >= numberOfSections()) return 0;
  return static_cast<int>(sections_[static_cast<size_t>(section)].heights.size());
}

void TableView::loadSection(Section& section, int index) {
  auto dataSource = dataSource_.lock();
  int rows = dataSource ? std::max(0, dataSource->numberOfRows(*this, index)) : 0;
  auto delegate = delegate_.lock();
  section.heights.assign(static_cast<size_t>(rows), automaticHeights() ? estimate() : rowHeight_);
  section.measured.assign(static_cast<size_t>(rows), !automaticHeights());
  if (delegate && !automaticHeights()) {
    for (int row = 0; row < rows; ++row) {
      if (auto height = delegate->heightForRow(*this, {index, row})) {
        section.heights[static_cast<size_t>(row)] = *height;
      }
    }
  }
}

void TableView::ensureLoaded() {
  if (loaded_) return;
  loaded_ = true;
  auto dataSource = dataSource_.lock();
  int count = dataSource ? std::max(0, dataSource->numberOfSections(*this)) : 0;
  sections_.assign(static_cast<size_t>(count), Section{});
  for (int s = 0; s < count; ++s) loadSection(sections_[static_cast<size_t>(s)], s);
}

void TableView::recycle(const std::shared_ptr<TableViewCell>& cell) {
  cell->removeFromSuperview();
  cell->setSelected(false);
  reusePool_[cell->reuseIdentifier()].push_back(cell);
}

void TableView::reloadData() {
  for (auto& [path, cell] : visible_) recycle(cell);
  visible_.clear();
  selected_.reset();
  loaded_ = false;
  setNeedsLayout();
}

void TableView::reloadSections(const std::vector<int>& sections, RowAnimation) {
  ensureLoaded();
  for (int s : sections) {
    if (s < 0 || s >= numberOfSections()) {
      inconsistent("section " + std::to_string(s) + " does not exist");
    }
  }
  for (int s : sections) {
    std::erase_if(visible_, [&](const auto& entry) {
      if (entry.first.section != s) return false;
      recycle(entry.second);
      return true;
    });
    loadSection(sections_[static_cast<size_t>(s)], s);
  }
  setNeedsLayout();
  layoutIfNeeded();
}

void TableView::record(RowUpdate::Kind kind, const std::vector<IndexPath>& rows,
                       RowAnimation animation) {
  bool alone = updateDepth_ == 0;
  if (alone) beginUpdates();
  for (const IndexPath& row : rows) pending_.push_back({kind, row, animation});
  if (alone) endUpdates();
}

void TableView::insertRows(const std::vector<IndexPath>& rows, RowAnimation animation) {
  record(RowUpdate::Kind::Insert, rows, animation);
}
void TableView::deleteRows(const std::vector<IndexPath>& rows, RowAnimation animation) {
  record(RowUpdate::Kind::Delete, rows, animation);
}
void TableView::reloadRows(const std::vector<IndexPath>& rows, RowAnimation animation) {
  record(RowUpdate::Kind::Reload, rows, animation);
}

void TableView::beginUpdates() {
  if (updateDepth_++ == 0) {
    ensureLoaded();
    pending_.clear();
  }
}

void TableView::endUpdates() {
  if (updateDepth_ == 0 || --updateDepth_ > 0) return;
  applyUpdates(std::move(pending_));
  pending_.clear();
}

void TableView::performBatchUpdates(const std::function<void()>& updates,
                                    std::function<void(bool)> completion) {
  beginUpdates();
  try {
    if (updates) updates();
  } catch (...) {
    updateDepth_ = 0;
    pending_.clear();
    throw;
  }
  endUpdates();
  if (completion) {
    platform::DispatchQueue::main()->async(
        [completion = std::move(completion)] { completion(true); });
  }
}

void TableView::applyUpdates(std::vector<RowUpdate> updates) {
  auto dataSource = dataSource_.lock();
  int newSections = dataSource ? std::max(0, dataSource->numberOfSections(*this)) : 0;
  if (newSections != numberOfSections()) {
    inconsistent("the number of sections changed from " + std::to_string(numberOfSections()) +
                 " to " + std::to_string(newSections) + " without sections inserted or deleted");
  }
  // Check everything before changing anything, so a refused update leaves the table as it was.
  std::vector<std::set<int>> inserted(sections_.size()), deleted(sections_.size()),
      reloaded(sections_.size());
  std::vector<int> newCounts(sections_.size());
  for (size_t s = 0; s < sections_.size(); ++s) {
    newCounts[s] = std::max(0, dataSource->numberOfRows(*this, static_cast<int>(s)));
  }
  for (const RowUpdate& update : updates) {
    const IndexPath& p = update.indexPath;
    if (p.section < 0 || p.section >= numberOfSections() || p.row < 0) {
      inconsistent(where(p) + " does not exist");
    }
    auto s = static_cast<size_t>(p.section);
    bool insert = update.kind == RowUpdate::Kind::Insert;
    int limit = insert ? newCounts[s] : numberOfRows(p.section);
    if (p.row >= limit) {
      inconsistent(where(p) + " is beyond the " + std::to_string(limit) + " rows of the section " +
                   (insert ? "after" : "before") + " the update");
    }
    auto& set = insert                                   ? inserted[s]
                : update.kind == RowUpdate::Kind::Delete ? deleted[s]
                                                         : reloaded[s];
    if (!set.insert(p.row).second) inconsistent(where(p) + " is named twice");
  }
  for (size_t s = 0; s < sections_.size(); ++s) {
    int before = numberOfRows(static_cast<int>(s));
    int expected =
        before + static_cast<int>(inserted[s].size()) - static_cast<int>(deleted[s].size());
    if (newCounts[s] != expected) {
      inconsistent("section " + std::to_string(s) + " has " + std::to_string(newCounts[s]) +
                   " rows after the update, but had " + std::to_string(before) + " before, with " +
                   std::to_string(inserted[s].size()) + " inserted and " +
                   std::to_string(deleted[s].size()) + " deleted");
    }
  }
  // Survivors keep their order and heights; inserted and reloaded rows are measured again.
  std::map<IndexPath, std::shared_ptr<TableViewCell>> moved;
  for (size_t s = 0; s < sections_.size(); ++s) {
    Section& old = sections_[s];
    Section next;
    std::vector<int> newIndexOfOld(old.heights.size(), -1);
    int oldRow = 0;
    for (int row = 0; row < newCounts[s]; ++row) {
      if (inserted[s].count(row)) {
        next.heights.push_back(automaticHeights() ? estimate() : rowHeight_);
        next.measured.push_back(!automaticHeights());
        continue;
      }
      while (deleted[s].count(oldRow)) ++oldRow;
      bool fresh = reloaded[s].count(oldRow) > 0;
      next.heights.push_back(old.heights[static_cast<size_t>(oldRow)]);
      next.measured.push_back(old.measured[static_cast<size_t>(oldRow)] && !fresh);
      if (!fresh) newIndexOfOld[static_cast<size_t>(oldRow)] = row;
      ++oldRow;
    }
    for (auto& [path, cell] : visible_) {
      if (path.section != static_cast<int>(s)) continue;
      auto oldIndex = static_cast<size_t>(path.row);
      int target = oldIndex < newIndexOfOld.size() ? newIndexOfOld[oldIndex] : -1;
      if (target < 0) {
        recycle(cell);
      } else {
        moved[{path.section, target}] = cell;
      }
    }
    old = std::move(next);
  }
  visible_ = std::move(moved);
  selected_.reset();
  lastUpdates_ = std::move(updates);
  setNeedsLayout();
  layoutIfNeeded();
}

std::shared_ptr<TableViewCell> TableView::cellForLayout(const IndexPath& indexPath) {
  auto found = visible_.find(indexPath);
  if (found != visible_.end()) return found->second;
  auto dataSource = dataSource_.lock();
  return dataSource ? dataSource->cellForRow(*this, indexPath) : nullptr;
}

void TableView::layoutSubviews() {
  ensureLoaded();
  double width = bounds().width();
  double top = contentOffset().y, bottom = top + bounds().height();
  if (headerView_) headerView_->setFrame(Rect::make(0, 0, width, rowsTop()));
  // First the rows in view by what is known of their heights, so cells that left can be reused.
  std::set<IndexPath> inView;
  double y = rowsTop();
  for (size_t s = 0; s < sections_.size(); ++s) {
    for (size_t r = 0; r < sections_[s].heights.size(); ++r) {
      double h = sections_[s].heights[r];
      if (y < bottom && y + h > top) inView.insert({static_cast<int>(s), static_cast<int>(r)});
      y += h;
    }
  }
  std::erase_if(visible_, [&](const auto& entry) {
    if (inView.count(entry.first)) return false;
    recycle(entry.second);
    return true;
  });
  // Then place (and measure) the cells of the rows in view.
  std::map<IndexPath, std::shared_ptr<TableViewCell>> placed;
  y = rowsTop();
  for (size_t s = 0; s < sections_.size(); ++s) {
    Section& section = sections_[s];
    for (size_t r = 0; r < section.heights.size(); ++r) {
      IndexPath path{static_cast<int>(s), static_cast<int>(r)};
      if (y < bottom && y + section.heights[r] > top) {
        std::shared_ptr<TableViewCell> cell = cellForLayout(path);
        if (cell) {
          if (!section.measured[r]) {
            section.heights[r] =
                cell->fixedHeight().value_or(cell->sizeThatFits({width, 0}).height);
            section.measured[r] = true;
          }
          cell->setFrame(Rect::make(0, y, width, section.heights[r]));
          if (cell->superview() != this) insertSubview(cell, 0);
          cell->setSelected(selected_ == path);
          cell->layoutIfNeeded();
          placed[path] = cell;
        }
      }
      y += section.heights[r];
    }
  }
  for (auto& [path, cell] : visible_) {
    if (!placed.count(path)) recycle(cell);
  }
  visible_ = std::move(placed);
  setContentSize({width, y});
}

std::shared_ptr<TableViewCell> TableView::cellForRow(const IndexPath& indexPath) const {
  auto found = visible_.find(indexPath);
  return found == visible_.end() ? nullptr : found->second;
}

std::optional<IndexPath> TableView::indexPathForCell(const TableViewCell* cell) const {
  for (const auto& [path, visible] : visible_) {
    if (visible.get() == cell) return path;
  }
  return std::nullopt;
}

std::vector<IndexPath> TableView::indexPathsForVisibleRows() const {
  std::vector<IndexPath> paths;
  for (const auto& [path, cell] : visible_) paths.push_back(path);
  return paths;
}

std::vector<std::shared_ptr<TableViewCell>> TableView::visibleCells() const {
  std::vector<std::shared_ptr<TableViewCell>> cells;
  for (const auto& [path, cell] : visible_) cells.push_back(cell);
  return cells;
}

Rect TableView::rectForRow(const IndexPath& indexPath) {
  ensureLoaded();
  double y = rowsTop();
  for (int s = 0; s < numberOfSections(); ++s) {
    const Section& section = sections_[static_cast<size_t>(s)];
    for (int r = 0; r < static_cast<int>(section.heights.size()); ++r) {
      double h = section.heights[static_cast<size_t>(r)];
      if (IndexPath{s, r} == indexPath) return Rect::make(0, y, bounds().width(), h);
      y += h;
    }
  }
  return {};
}

void TableView::scrollToRow(const IndexPath& indexPath, bool animated) {
  Rect row = rectForRow(indexPath);
  double y = std::clamp(row.minY(), minimumOffsetY(), maximumOffsetY());
  setContentOffset({contentOffset().x, y}, animated);
  layoutIfNeeded();
}

void TableView::selectRow(std::optional<IndexPath> indexPath) {
  if (selected_) {
    if (auto cell = cellForRow(*selected_)) cell->setSelected(false);
  }
  selected_ = indexPath;
  if (selected_) {
    if (auto cell = cellForRow(*selected_)) cell->setSelected(true);
  }
}

void TableView::simulateSelectRow(const IndexPath& indexPath) {
  ensureLoaded();
  if (indexPath.section < 0 || indexPath.section >= numberOfSections() || indexPath.row < 0 ||
      indexPath.row >= numberOfRows(indexPath.section)) {
    return;
  }
  selectRow(indexPath);
  if (auto delegate = delegate_.lock()) delegate->didSelectRow(*this, indexPath);
}

std::string TableView::describe() const {
  std::string line = ScrollView::describe() + " rows=[";
  for (size_t s = 0; s < sections_.size(); ++s) {
    line += (s ? "," : "") + std::to_string(sections_[s].heights.size());
  }
  return line + "]";
}

}  // namespace dz::ui
