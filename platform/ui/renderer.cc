#include "platform/ui/renderer.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

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

// What was drawn behind a layer, blurred, with the device position of its top left corner.
struct Backdrop {
  cairo_surface_t* surface = nullptr;
  double x = 0;
  double y = 0;
  ~Backdrop() {
    if (surface) cairo_surface_destroy(surface);
  }
};

// Three box blurs in a row come close to a Gaussian blur.
void boxBlur(uint32_t* pixels, int width, int height, int stride, int radius) {
  std::vector<uint32_t> line(static_cast<size_t>(std::max(width, height)));
  auto pass = [&](int count, int length, auto at) {
    for (int i = 0; i < count; ++i) {
      for (int k = 0; k < length; ++k) line[static_cast<size_t>(k)] = at(i, k);
      for (int shift = 0; shift < 32; shift += 8) {
        int sum = 0;
        for (int k = -radius; k <= radius; ++k) {
          sum += (line[static_cast<size_t>(std::clamp(k, 0, length - 1))] >> shift) & 0xFF;
        }
        for (int k = 0; k < length; ++k) {
          uint32_t& out = at(i, k);
          out =
              (out & ~(0xFFu << shift)) | (static_cast<uint32_t>(sum / (2 * radius + 1)) << shift);
          sum += (line[static_cast<size_t>(std::min(k + radius + 1, length - 1))] >> shift) & 0xFF;
          sum -= (line[static_cast<size_t>(std::max(k - radius, 0))] >> shift) & 0xFF;
        }
      }
    }
  };
  for (int round = 0; round < 3; ++round) {
    pass(height, width, [&](int y, int x) -> uint32_t& { return pixels[y * stride + x]; });
    pass(width, height, [&](int x, int y) -> uint32_t& { return pixels[y * stride + x]; });
  }
}

// Copies and blurs the part of the drawing under `box` (user space of `cr`).
std::unique_ptr<Backdrop> captureBackdrop(cairo_t* cr, const Rect& box, double radius) {
  cairo_surface_t* target = cairo_get_group_target(cr);
  if (cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE) return nullptr;
  cairo_surface_flush(target);
  double minX = HUGE_VAL, minY = HUGE_VAL, maxX = -HUGE_VAL, maxY = -HUGE_VAL;
  for (Point corner : {Point{box.minX(), box.minY()}, Point{box.maxX(), box.minY()},
                       Point{box.minX(), box.maxY()}, Point{box.maxX(), box.maxY()}}) {
    cairo_user_to_device(cr, &corner.x, &corner.y);
    minX = std::min(minX, corner.x);
    minY = std::min(minY, corner.y);
    maxX = std::max(maxX, corner.x);
    maxY = std::max(maxY, corner.y);
  }
  double offsetX = 0, offsetY = 0;
  cairo_surface_get_device_offset(target, &offsetX, &offsetY);
  int width = cairo_image_surface_get_width(target);
  int height = cairo_image_surface_get_height(target);
  // Device coordinates plus the device offset are pixel positions in the target.
  int x0 = std::clamp(static_cast<int>(std::floor(minX + offsetX)), 0, width);
  int y0 = std::clamp(static_cast<int>(std::floor(minY + offsetY)), 0, height);
  int x1 = std::clamp(static_cast<int>(std::ceil(maxX + offsetX)), 0, width);
  int y1 = std::clamp(static_cast<int>(std::ceil(maxY + offsetY)), 0, height);
  if (x1 <= x0 || y1 <= y0) return nullptr;
  auto backdrop = std::make_unique<Backdrop>();
  backdrop->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, x1 - x0, y1 - y0);
  int stride = cairo_image_surface_get_stride(backdrop->surface) / 4;
  int sourceStride = cairo_image_surface_get_stride(target) / 4;
  auto* to = reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(backdrop->surface));
  const auto* from = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(target));
  for (int y = y0; y < y1; ++y) {
    std::memcpy(to + static_cast<size_t>(y - y0) * stride,
                from + static_cast<size_t>(y) * sourceStride + x0,
                static_cast<size_t>(x1 - x0) * 4);
  }
  boxBlur(to, x1 - x0, y1 - y0, stride, std::max(1, static_cast<int>(radius / 3)));
  cairo_surface_mark_dirty(backdrop->surface);
  backdrop->x = x0 - offsetX;
  backdrop->y = y0 - offsetY;
  return backdrop;
}

void drawLayer(cairo_t* cr, Layer& layer, double scale, bool root);

void drawBody(cairo_t* cr, Layer& layer, const LayerProperties& p, double scale,
              const Backdrop* backdrop) {
  GraphicsContext context(cr);
  Rect box = p.bounds;
  if (backdrop) {
    cairo_save(cr);
    context.clip(Path::roundedRect(box, p.cornerRadius));
    cairo_identity_matrix(cr);
    cairo_set_source_surface(cr, backdrop->surface, backdrop->x, backdrop->y);
    cairo_paint(cr);
    cairo_restore(cr);
  }
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
  // Taken before a group of this layer's own hides what lies behind it.
  std::unique_ptr<Backdrop> backdrop;
  if (layer.backdropBlurRadius() > 0) {
    backdrop = captureBackdrop(cr, p.bounds, layer.backdropBlurRadius() * scale);
  }
  if (opacity >= 1 && !mask) {
    drawBody(cr, layer, p, scale, backdrop.get());
  } else {
    cairo_push_group(cr);
    drawBody(cr, layer, p, scale, backdrop.get());
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
