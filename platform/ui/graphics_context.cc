#include "platform/ui/graphics_context.h"

#include <cairo.h>

#include <algorithm>
#include <numbers>

namespace dz::ui {
namespace {

void setColor(cairo_t* cr, Color c) { cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha); }

cairo_line_cap_t cairoCap(LineCap cap) {
  switch (cap) {
    case LineCap::Round:
      return CAIRO_LINE_CAP_ROUND;
    case LineCap::Square:
      return CAIRO_LINE_CAP_SQUARE;
    case LineCap::Butt:
      break;
  }
  return CAIRO_LINE_CAP_BUTT;
}

cairo_line_join_t cairoJoin(LineJoin join) {
  switch (join) {
    case LineJoin::Round:
      return CAIRO_LINE_JOIN_ROUND;
    case LineJoin::Bevel:
      return CAIRO_LINE_JOIN_BEVEL;
    case LineJoin::Miter:
      break;
  }
  return CAIRO_LINE_JOIN_MITER;
}

void traceLines(cairo_t* cr, const std::vector<Path::Polyline>& lines) {
  for (const auto& line : lines) {
    if (line.points.empty()) continue;
    cairo_move_to(cr, line.points[0].x, line.points[0].y);
    for (size_t i = 1; i < line.points.size(); ++i) {
      cairo_line_to(cr, line.points[i].x, line.points[i].y);
    }
    if (line.closed) cairo_close_path(cr);
  }
}

}  // namespace

void GraphicsContext::save() { cairo_save(cairo_); }
void GraphicsContext::restore() { cairo_restore(cairo_); }

void GraphicsContext::concat(const AffineTransform& t) {
  cairo_matrix_t matrix;
  cairo_matrix_init(&matrix, t.a, t.b, t.c, t.d, t.tx, t.ty);
  cairo_transform(cairo_, &matrix);
}

void GraphicsContext::tracePath(const Path& path) {
  cairo_new_path(cairo_);
  traceLines(cairo_, path.flatten(0.05));
}

void GraphicsContext::clip(const Path& path) {
  tracePath(path);
  cairo_clip(cairo_);
}

void GraphicsContext::fill(const Path& path, Color color) {
  tracePath(path);
  setColor(cairo_, color);
  cairo_fill(cairo_);
}

void GraphicsContext::fillRect(const Rect& rect, Color color) {
  cairo_new_path(cairo_);
  cairo_rectangle(cairo_, rect.minX(), rect.minY(), rect.width(), rect.height());
  setColor(cairo_, color);
  cairo_fill(cairo_);
}

void GraphicsContext::stroke(const std::vector<Path::Polyline>& lines, Color color, double width,
                             LineCap cap, LineJoin join) {
  cairo_new_path(cairo_);
  traceLines(cairo_, lines);
  setColor(cairo_, color);
  cairo_set_line_width(cairo_, width);
  cairo_set_line_cap(cairo_, cairoCap(cap));
  cairo_set_line_join(cairo_, cairoJoin(join));
  cairo_stroke(cairo_);
}

void GraphicsContext::stroke(const Path& path, Color color, double width) {
  stroke(path.flatten(0.05), color, width);
}

void GraphicsContext::drawImage(const Image& image, const Rect& rect, std::optional<Color> tint) {
  if (image.pixelWidth() == 0 || image.pixelHeight() == 0 || rect.isEmpty()) return;
  // Cairo only reads the source surface.
  auto* data = reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(image.pixels().data()));
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      data, CAIRO_FORMAT_ARGB32, image.pixelWidth(), image.pixelHeight(), image.pixelWidth() * 4);
  cairo_save(cairo_);
  cairo_translate(cairo_, rect.minX(), rect.minY());
  cairo_scale(cairo_, rect.width() / image.pixelWidth(), rect.height() / image.pixelHeight());
  if (!tint && image.isTemplate()) tint = Color::black();
  if (tint) {
    setColor(cairo_, *tint);
    cairo_mask_surface(cairo_, surface, 0, 0);
  } else {
    cairo_set_source_surface(cairo_, surface, 0, 0);
    cairo_paint(cairo_);
  }
  cairo_restore(cairo_);
  cairo_surface_destroy(surface);
}

void GraphicsContext::drawText(const TextLayout& layout, const Rect& box, Color color,
                               TextAlignment alignment) {
  const Font& font = layout.font;
  double unit = font.unit();
  double top = box.minY() + (box.height() - layout.size.height) / 2;
  setColor(cairo_, color);
  cairo_new_path(cairo_);
  for (size_t row = 0; row < layout.lines.size(); ++row) {
    const std::u32string& line = layout.lines[row];
    double width = 0;
    for (char32_t c : line) width += glyphFor(c).zeroWidth ? 0 : font.advance();
    double x = alignment == TextAlignment::Left     ? box.minX()
               : alignment == TextAlignment::Center ? box.minX() + (box.width() - width) / 2
                                                    : box.maxX() - width;
    double y = top + row * font.lineHeight() + unit;  // one step of leading above the glyphs
    for (char32_t c : line) {
      const Glyph& glyph = glyphFor(c);
      if (glyph.zeroWidth) continue;
      for (int r = 0; r < 9; ++r) {
        for (int column = 0; column < 5; ++column) {
          if (!(glyph.rows[r] & (1u << (4 - column)))) continue;
          // Bold faces double the stroke to the right.
          double pixelWidth = font.bold ? unit * 1.6 : unit;
          cairo_rectangle(cairo_, x + column * unit, y + r * unit, pixelWidth, unit);
        }
      }
      x += font.advance();
    }
  }
  cairo_fill(cairo_);
}

void GraphicsContext::drawRadialGradient(Point center, double startRadius, double endRadius,
                                         Color start, Color end, bool extendAfter) {
  cairo_pattern_t* pattern =
      cairo_pattern_create_radial(center.x, center.y, startRadius, center.x, center.y, endRadius);
  cairo_pattern_add_color_stop_rgba(pattern, 0, start.red, start.green, start.blue, start.alpha);
  cairo_pattern_add_color_stop_rgba(pattern, 1, end.red, end.green, end.blue, end.alpha);
  cairo_pattern_set_extend(pattern, extendAfter ? CAIRO_EXTEND_PAD : CAIRO_EXTEND_NONE);
  cairo_set_source(cairo_, pattern);
  if (extendAfter) {
    cairo_paint(cairo_);
  } else {
    cairo_new_path(cairo_);
    cairo_arc(cairo_, center.x, center.y, std::max(endRadius, 0.0), 0, 2 * std::numbers::pi);
    cairo_fill(cairo_);
  }
  cairo_pattern_destroy(pattern);
}

}  // namespace dz::ui
