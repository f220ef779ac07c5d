#include "platform/ui/renderer.h"

#include <cairo.h>

#include <cmath>
#include <cstring>

#include "platform/ui/graphics_context.h"

namespace dz::ui {

struct Layer::Backing {
  cairo_surface_t* surface = nullptr;
  double scale = 1;
  Size size;
  ~Backing() {
    if (surface) cairo_surface_destroy(surface);
  }
};

namespace {

// Draws the layer's content afresh into its cache.
std::shared_ptr<Layer::Backing> drawBacking(Layer& layer, const Rect& bounds, double scale) {
  auto backing = std::make_shared<Layer::Backing>();
  backing->scale = scale;
  backing->size = bounds.size;
  int width = std::max(1, static_cast<int>(std::ceil(bounds.width() * scale)));
  int height = std::max(1, static_cast<int>(std::ceil(bounds.height() * scale)));
  backing->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(backing->surface);
  cairo_scale(cr, scale, scale);
  cairo_translate(cr, -bounds.origin.x, -bounds.origin.y);
  GraphicsContext context(cr);
  layer.drawInContext(context);
  cairo_destroy(cr);
  cairo_surface_flush(backing->surface);
  return backing;
}

void paintBacking(cairo_t* cr, const Layer::Backing& backing, const Rect& box) {
  if (backing.size.width <= 0 || backing.size.height <= 0) return;
  cairo_save(cr);
  cairo_translate(cr, box.minX(), box.minY());
  // A cache drawn for another size is stretched, as the platform shows stale content.
  cairo_scale(cr, box.width() / backing.size.width / backing.scale,
              box.height() / backing.size.height / backing.scale);
  cairo_set_source_surface(cr, backing.surface, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
}

void drawShadow(GraphicsContext& context, const LayerProperties& p, const Rect& box) {
  // Soft edges from a few widening, fainter copies of the outline.
  constexpr int kSteps = 4;
  Rect shadow = box.offsetBy(p.shadowOffset.width, p.shadowOffset.height);
  for (int i = kSteps; i >= 1; --i) {
    double spread = p.shadowRadius * i / kSteps;
    context.fill(Path::roundedRect(shadow.insetBy(-spread, -spread), p.cornerRadius + spread),
                 p.shadowColor.withAlpha(p.shadowColor.alpha * p.shadowOpacity / kSteps));
  }
}

void drawLayer(cairo_t* cr, Layer& layer, double scale, bool root);

void drawBody(cairo_t* cr, Layer& layer, const LayerProperties& p, double scale) {
  GraphicsContext context(cr);
  Rect box = p.bounds;
  if (p.shadowOpacity > 0 && !p.backgroundColor.isClear()) drawShadow(context, p, box);
  if (!p.backgroundColor.isClear()) {
    context.fill(Path::roundedRect(box, p.cornerRadius), p.backgroundColor);
  }
  if (layer.masksToBounds()) context.clip(Path::roundedRect(box, p.cornerRadius));
  if (layer.contents()) context.drawImage(*layer.contents(), box);
  if (layer.drawsContent()) {
    auto backing = layer.backing();
    if (!backing || layer.needsDisplay() || backing->scale != scale) {
      backing = drawBacking(layer, box, scale);
      layer.setBacking(backing);
    }
    paintBacking(cr, *backing, box);
  }
  layer.renderLive(context, p);
  // Copied: drawing must not see the tree change, but keep the layers alive meanwhile.
  std::vector<std::shared_ptr<Layer>> sublayers = layer.sublayers();
  for (const auto& sublayer : sublayers) drawLayer(cr, *sublayer, scale, false);
  if (p.borderWidth > 0 && !p.borderColor.isClear()) {
    context.stroke(Path::roundedRect(box.insetBy(p.borderWidth / 2, p.borderWidth / 2),
                                     std::max(0.0, p.cornerRadius - p.borderWidth / 2)),
                   p.borderColor, p.borderWidth);
  }
}

void drawLayer(cairo_t* cr, Layer& layer, double scale, bool root) {
  if (layer.isHidden()) return;
  LayerProperties p = layer.presentation();
  if (p.opacity <= 0 && !root) return;
  cairo_save(cr);
  if (!root) {
    cairo_translate(cr, p.position.x, p.position.y);
    GraphicsContext(cr).concat(p.transform);
    cairo_translate(cr, -p.anchorPoint.x * p.bounds.size.width - p.bounds.origin.x,
                    -p.anchorPoint.y * p.bounds.size.height - p.bounds.origin.y);
  }
  double opacity = root ? 1 : p.opacity;
  std::shared_ptr<Layer> mask = layer.mask();
  if (opacity >= 1 && !mask) {
    drawBody(cr, layer, p, scale);
  } else {
    cairo_push_group(cr);
    drawBody(cr, layer, p, scale);
    cairo_pattern_t* content = cairo_pop_group(cr);
    if (mask) {
      cairo_push_group(cr);
      drawLayer(cr, *mask, scale, false);
      cairo_pattern_t* alpha = cairo_pop_group(cr);
      cairo_push_group(cr);
      cairo_set_source(cr, content);
      cairo_mask(cr, alpha);
      cairo_pattern_destroy(alpha);
      cairo_pattern_destroy(content);
      content = cairo_pop_group(cr);
    }
    cairo_set_source(cr, content);
    cairo_paint_with_alpha(cr, opacity);
    cairo_pattern_destroy(content);
  }
  cairo_restore(cr);
}

}  // namespace

ImagePtr Renderer::render(View& view, double scale) {
  view.layoutIfNeeded();
  Rect bounds = view.bounds();
  int width = std::max(0, static_cast<int>(std::lround(bounds.width() * scale)));
  int height = std::max(0, static_cast<int>(std::lround(bounds.height() * scale)));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, scale, scale);
  cairo_translate(cr, -bounds.origin.x, -bounds.origin.y);
  drawLayer(cr, *view.layer(), scale, true);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height && data; ++y) {
    std::memcpy(&pixels[static_cast<size_t>(y) * width], data + static_cast<size_t>(y) * stride,
                static_cast<size_t>(width) * 4);
  }
  cairo_surface_destroy(surface);
  return Image::fromPixels(width, height, scale, std::move(pixels));
}

bool Renderer::writePng(View& view, const std::filesystem::path& path, double scale) {
  return render(view, scale)->writePng(path);
}

}  // namespace dz::ui
