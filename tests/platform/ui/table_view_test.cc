// Table views: cells for the rows in view, reuse, heights, the header view, and the row-count
// rule of updates.
#include "platform/ui/table_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/exception.h"

namespace dz::ui {
namespace {

class Rows : public TableViewDataSource, public TableViewDelegate {
 public:
  std::vector<std::string> rows;
  std::vector<IndexPath> asked;
  std::vector<IndexPath> selected;
  int made = 0;
  std::string identifier = "row";

  int numberOfRows(TableView&, int) override { return static_cast<int>(rows.size()); }
  std::shared_ptr<TableViewCell> cellForRow(TableView& table, const IndexPath& path) override {
    asked.push_back(path);
    auto cell = table.dequeueReusableCell(identifier, path);
    cell->textLabel()->setText(rows.at(static_cast<size_t>(path.row)));
    return cell;
  }
  void didSelectRow(TableView&, const IndexPath& path) override { selected.push_back(path); }
};

class TableViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 100; ++i) rows_->rows.push_back("row " + std::to_string(i));
    table_->registerCell("row", [this](const std::string& id) {
      ++rows_->made;
      return std::make_shared<TableViewCell>(id);
    });
    table_->setDataSource(rows_);
    table_->setDelegate(rows_);
    table_->layoutIfNeeded();
  }

  std::string textAt(int row) const {
    auto cell = table_->cellForRow({0, row});
    return cell ? cell->textLabel()->text().value_or("") : "(off screen)";
  }

  std::shared_ptr<Rows> rows_ = std::make_shared<Rows>();
  std::shared_ptr<TableView> table_ = std::make_shared<TableView>(Rect::make(0, 0, 320, 440));
};

TEST_F(TableViewTest, MakesCellsOnlyForRowsInViewAndReusesThemWhenScrolling) {
  EXPECT_EQ(table_->indexPathsForVisibleRows().size(), 10u);  // 440 / 44
  EXPECT_EQ(table_->contentSize().height, 100 * 44);
  EXPECT_EQ(table_->cellForRow({0, 3})->frame(), Rect::make(0, 3 * 44, 320, 44));
  int made = rows_->made;
  table_->setContentOffset({0, 44 * 50});
  table_->layoutIfNeeded();
  EXPECT_EQ(textAt(50), "row 50");
  EXPECT_EQ(textAt(0), "(off screen)");
  EXPECT_EQ(rows_->made, made);  // the cells that left were handed out again
  EXPECT_EQ(table_->indexPathForCell(table_->cellForRow({0, 55}).get()), (IndexPath{0, 55}));
}

TEST_F(TableViewTest, InsertAndDeleteKeepCellsWithTheirRows) {
  auto second = table_->cellForRow({0, 1});
  rows_->rows.insert(rows_->rows.begin(), "new");
  table_->insertRows({{0, 0}}, RowAnimation::Fade);
  EXPECT_EQ(textAt(0), "new");
  EXPECT_EQ(table_->cellForRow({0, 2}), second);
  EXPECT_EQ(table_->numberOfRows(0), 101);
  EXPECT_EQ(table_->lastUpdates(),
            (std::vector<RowUpdate>{{RowUpdate::Kind::Insert, {0, 0}, RowAnimation::Fade}}));

  rows_->rows.erase(rows_->rows.begin() + 1);
  rows_->rows.erase(rows_->rows.begin() + 2);
  table_->performBatchUpdates([&] {
    table_->deleteRows({{0, 1}, {0, 3}}, RowAnimation::Fade);  // indexes before the update
  });
  EXPECT_EQ(table_->cellForRow({0, 1}), second);
  EXPECT_EQ(textAt(2), "row 3");
  EXPECT_EQ(table_->numberOfRows(0), 99);
}

TEST_F(TableViewTest, UpdateThatDisagreesWithTheDataSourceThrowsAndChangesNothing) {
  auto first = table_->cellForRow({0, 0});
  try {
    table_->insertRows({{0, 0}}, RowAnimation::Fade);  // the data source did not grow
    FAIL() << "no exception";
  } catch (const dz::Exception& e) {
    EXPECT_EQ(e.name(), kInternalInconsistencyException);
    EXPECT_NE(std::string(e.what()).find("100 rows after the update"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(table_->numberOfRows(0), 100);
  EXPECT_EQ(table_->cellForRow({0, 0}), first);

  rows_->rows.pop_back();
  EXPECT_THROW(table_->deleteRows({{0, 100}}, RowAnimation::Fade), dz::Exception);  // no such row
  EXPECT_THROW(table_->deleteRows({{0, 5}, {0, 5}}, RowAnimation::Fade), dz::Exception);
  table_->deleteRows({{0, 99}}, RowAnimation::Fade);
  EXPECT_EQ(table_->numberOfRows(0), 99);
  // A nested batch is checked once, at its outer end.
  rows_->rows.push_back("a");
  rows_->rows.push_back("b");
  table_->beginUpdates();
  table_->insertRows({{0, 99}}, RowAnimation::Fade);
  table_->beginUpdates();
  table_->insertRows({{0, 100}}, RowAnimation::Fade);
  table_->endUpdates();
  table_->endUpdates();
  EXPECT_EQ(table_->numberOfRows(0), 101);
}

TEST_F(TableViewTest, ReloadDataReadsTheCountsAgain) {
  rows_->rows.resize(3);
  table_->reloadData();
  table_->layoutIfNeeded();
  EXPECT_EQ(table_->numberOfRows(0), 3);
  EXPECT_EQ(table_->visibleCells().size(), 3u);
  EXPECT_EQ(table_->contentSize().height, 3 * 44);
}

TEST_F(TableViewTest, AutomaticHeightsMeasureTheRowsInView) {
  table_->setRowHeight(TableView::kAutomaticDimension);
  table_->setEstimatedRowHeight(100);
  table_->registerCell("tall", [](const std::string& id) {
    auto cell = std::make_shared<TableViewCell>(id);
    cell->setFixedHeight(60);
    return cell;
  });
  rows_->identifier = "tall";
  table_->reloadData();
  table_->layoutIfNeeded();
  // Rows in view are measured (60); the rest keep the estimate until they come into view.
  EXPECT_EQ(table_->rectForRow({0, 1}), Rect::make(0, 60, 320, 60));
  size_t visible = table_->visibleCells().size();
  EXPECT_GE(visible, 5u);
  EXPECT_EQ(table_->contentSize().height, visible * 60 + (100 - visible) * 100);
}

TEST_F(TableViewTest, SelectingARowTellsTheDelegate) {
  table_->simulateSelectRow({0, 2});
  table_->simulateSelectRow({0, 500});  // no such row: ignored
  EXPECT_EQ(rows_->selected, (std::vector<IndexPath>{{0, 2}}));
  EXPECT_TRUE(table_->cellForRow({0, 2})->isSelected());
  EXPECT_EQ(table_->indexPathForSelectedRow(), (IndexPath{0, 2}));
}

TEST_F(TableViewTest, AHeaderViewSitsAboveTheFirstRowAndScrollsWithIt) {
  auto header = std::make_shared<View>(Rect::make(0, 0, 10, 80));
  table_->setTableHeaderView(header);
  table_->layoutIfNeeded();
  EXPECT_EQ(header->frame(), Rect::make(0, 0, 320, 80));
  EXPECT_EQ(table_->cellForRow({0, 0})->frame(), Rect::make(0, 80, 320, 44));
  EXPECT_EQ(table_->rectForRow({0, 1}), Rect::make(0, 124, 320, 44));
  EXPECT_EQ(table_->contentSize().height, 80 + 100 * 44);
  // Inset by its height, the header rests out of view and the first row at the top.
  table_->setContentInset({-80, 0, 0, 0});
  table_->layoutIfNeeded();
  EXPECT_EQ(table_->contentOffset().y, 80);
  EXPECT_EQ(table_->indexPathsForVisibleRows().size(), 10u);
  // The last row scrolled to rests above a bottom inset.
  table_->setContentInset({-80, 0, 30, 0});
  table_->scrollToRow({0, 99}, false);
  EXPECT_EQ(table_->contentOffset().y, 80 + 100 * 44 + 30 - 440);
}

TEST_F(TableViewTest, UnregisteredIdentifierThrows) {
  EXPECT_THROW(table_->dequeueReusableCell("other", {0, 0}), dz::Exception);
}

}  // namespace
}  // namespace dz::ui
