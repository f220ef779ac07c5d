// Draws the overlay's images into a folder (the ProgressHUD.bundle beside this file):
//   dz_hud_make_images <folder>
// "info", "success" and "error" are 28-point marks in a ring; "angle-mask" is the spinner's mask,
// opaque at the top and fading away clockwise round the circle. Only alpha counts: the overlay
// tints the marks, and the mask's alpha cuts the ring. Drawn at two pixels a point.
#include <cairo.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numbers>
#include <string>

namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kScale = 2;

bool write(const std::filesystem::path& folder, const std::string& name, int points,
           const std::function<void(cairo_t*, double)>& draw) {
  int pixels = points * kScale;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixels, pixels);
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, kScale, kScale);
  draw(cr, points);
  cairo_destroy(cr);
  std::filesystem::path path = folder / (name + "@2x.png");
  bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.c_str());
  return ok;
}

// The ring all three marks sit in.
void ring(cairo_t* cr, double side) {
  cairo_set_source_rgba(cr, 0, 0, 0, 1);
  cairo_set_line_width(cr, 2);
  cairo_arc(cr, side / 2, side / 2, side / 2 - 1.5, 0, 2 * kPi);
  cairo_stroke(cr);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
}

void info(cairo_t* cr, double side) {
  ring(cr, side);
  cairo_arc(cr, side / 2, side * 0.3, 1.6, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_set_line_width(cr, 2.4);
  cairo_move_to(cr, side / 2, side * 0.45);
  cairo_line_to(cr, side / 2, side * 0.72);
  cairo_stroke(cr);
}

void success(cairo_t* cr, double side) {
  ring(cr, side);
  cairo_set_line_width(cr, 2.4);
  cairo_move_to(cr, side * 0.29, side * 0.52);
  cairo_line_to(cr, side * 0.44, side * 0.67);
  cairo_line_to(cr, side * 0.72, side * 0.36);
  cairo_stroke(cr);
}

void error(cairo_t* cr, double side) {
  ring(cr, side);
  cairo_set_line_width(cr, 2.4);
  cairo_move_to(cr, side * 0.34, side * 0.34);
  cairo_line_to(cr, side * 0.66, side * 0.66);
  cairo_move_to(cr, side * 0.66, side * 0.34);
  cairo_line_to(cr, side * 0.34, side * 0.66);
  cairo_stroke(cr);
}

void angleMask(cairo_t* cr, double side) {
  // Each pixel's alpha falls with its angle from the top, clockwise.
  cairo_surface_t* surface = cairo_get_target(cr);
  cairo_surface_flush(surface);
  int pixels = cairo_image_surface_get_width(surface);
  int stride = cairo_image_surface_get_stride(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  double center = pixels / 2.0;
  for (int y = 0; y < pixels; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < pixels; ++x) {
      double angle = std::atan2(x + 0.5 - center, -(y + 0.5 - center));  // 0 at the top
      if (angle < 0) angle += 2 * kPi;
      auto alpha = static_cast<uint32_t>(std::lround(255 * (1 - angle / (2 * kPi))));
      row[x] = alpha << 24;  // black, premultiplied
    }
  }
  cairo_surface_mark_dirty(surface);
  (void)side;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  bool ok = write(folder, "info", 28, info) && write(folder, "success", 28, success) &&
            write(folder, "error", 28, error) && write(folder, "angle-mask", 60, angleMask);
  return ok ? 0 : 1;
}
