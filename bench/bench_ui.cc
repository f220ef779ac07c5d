// The headless UI layer: a full-screen window with the progress overlay drawn and written as a
// PNG (milliseconds a frame), against the floor of Cairo filling and writing a surface of the
// same size; and the layout of a 1,000-row table view (its first screen, and scrolled through
// every row with cell reuse), against the floor of framing as many plain views.
#include <benchmark/benchmark.h>
#include <cairo.h>

#include <filesystem>
#include <memory>
#include <string>

#include "hud/progress_hud.h"
#include "platform/run_loop.h"
#include "platform/ui/application.h"
#include "platform/ui/renderer.h"
#include "platform/ui/table_view.h"
#include "platform/ui/view_controller.h"

namespace {

using namespace dz;

constexpr int kRows = 1000;

std::filesystem::path outputPath(const char* name) {
  return std::filesystem::temp_directory_path() / name;
}

class Rows : public ui::TableViewDataSource {
 public:
  int numberOfRows(ui::TableView&, int) override { return kRows; }
  std::shared_ptr<ui::TableViewCell> cellForRow(ui::TableView& table,
                                                const ui::IndexPath& path) override {
    auto cell = table.dequeueReusableCell("row", path);
    cell->textLabel()->setText("Poll number " + std::to_string(path.row));
    return cell;
  }
};

std::shared_ptr<ui::TableView> makeTable(const std::shared_ptr<Rows>& rows) {
  auto table = std::make_shared<ui::TableView>(ui::Screen::main().bounds());
  table->registerCell(
      "row", [](const std::string& id) { return std::make_shared<ui::TableViewCell>(id); });
  table->setDataSource(rows);
  return table;
}

class Delegate : public ui::ApplicationDelegate {
 public:
  std::shared_ptr<ui::Window> window() const override { return window_; }
  std::shared_ptr<ui::Window> window_ = std::make_shared<ui::Window>();
};

// A window showing a list under the spinner overlay, as a screen waiting on the network does.
std::shared_ptr<Delegate> screenWithOverlay(const std::shared_ptr<Rows>& rows) {
  auto delegate = std::make_shared<Delegate>();
  ui::Application::shared().setDelegate(delegate);
  auto screen = std::make_shared<ui::ViewController>();
  screen->view()->addSubview(makeTable(rows));
  delegate->window_->setRootViewController(screen);
  delegate->window_->makeKeyAndVisible();
  hud::ProgressHUD::setFadeInAnimationDuration(0);
  hud::ProgressHUD::showWithStatus("sending poll");
  platform::RunLoop::main().runUntil([] { return hud::ProgressHUD::isVisible(); },
                                     std::chrono::seconds(5));
  return delegate;
}

void BM_CairoFillAndPngFloor(benchmark::State& state) {
  ui::Rect screen = ui::Screen::main().bounds();
  double scale = ui::Screen::main().scale();
  auto path = outputPath("dz_bench_floor.png");
  for (auto _ : state) {
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(screen.width() * scale),
                                   static_cast<int>(screen.height() * scale));
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 0.96, 0.97, 0.98);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_CairoFillAndPngFloor)->Unit(benchmark::kMillisecond);

// Arg 0: drawing only; arg 1: drawing and writing the PNG.
void BM_RenderWindowWithOverlay(benchmark::State& state) {
  auto rows = std::make_shared<Rows>();
  auto delegate = screenWithOverlay(rows);
  auto path = outputPath("dz_bench_window.png");
  for (auto _ : state) {
    ui::ImagePtr frame = ui::Renderer::render(*delegate->window_, ui::Screen::main().scale());
    if (state.range(0) == 1) frame->writePng(path);
    benchmark::DoNotOptimize(frame);
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_RenderWindowWithOverlay)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_FramePlainViewsFloor(benchmark::State& state) {
  for (auto _ : state) {
    auto root = std::make_shared<ui::View>(ui::Screen::main().bounds());
    for (int i = 0; i < kRows; ++i) {
      auto view = std::make_shared<ui::View>();
      view->setFrame(ui::Rect::make(0, i * 44.0, 375, 44));
      root->addSubview(view);
    }
    benchmark::DoNotOptimize(root);
  }
}
BENCHMARK(BM_FramePlainViewsFloor)->Unit(benchmark::kMicrosecond);

// Arg 0: load and lay out the first screen; arg 1: then scroll a screen at a time to the end.
void BM_TableLayout1000Rows(benchmark::State& state) {
  auto rows = std::make_shared<Rows>();
  for (auto _ : state) {
    auto table = makeTable(rows);
    table->layoutIfNeeded();
    if (state.range(0) == 1) {
      double page = table->bounds().height();
      for (double y = page; y < table->contentSize().height; y += page) {
        table->setContentOffset({0, y});
        table->layoutIfNeeded();
      }
    }
    benchmark::DoNotOptimize(table);
  }
}
BENCHMARK(BM_TableLayout1000Rows)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
