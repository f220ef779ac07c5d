#include "platform/ui/image_view.h"

#include <algorithm>

#include "platform/ui/graphics_context.h"

namespace dz::ui {

ImageView::ImageView(const Rect& frame) : View(frame) {
  setUserInteractionEnabled(false);
  layer()->setNeedsDisplayOnBoundsChange(true);
}

ImageView::ImageView(ImagePtr image) : ImageView(image ? Rect{{0, 0}, image->size()} : Rect{}) {
  image_ = std::move(image);
}

void ImageView::setImage(ImagePtr image) {
  image_ = std::move(image);
  setNeedsDisplay();
}

void ImageView::setContentMode(ContentMode mode) {
  contentMode_ = mode;
  setNeedsDisplay();
}

Size ImageView::sizeThatFits(Size) const { return image_ ? image_->size() : Size{}; }

void ImageView::draw(GraphicsContext& context, const Rect& bounds) {
  if (!image_) return;
  Size size = image_->size();
  Rect target = bounds;
  if (contentMode_ != ContentMode::ScaleToFill && size.width > 0 && size.height > 0) {
    double sx = bounds.width() / size.width, sy = bounds.height() / size.height;
    double scale = contentMode_ == ContentMode::ScaleAspectFit    ? std::min(sx, sy)
                   : contentMode_ == ContentMode::ScaleAspectFill ? std::max(sx, sy)
                                                                  : 1.0;
    double w = size.width * scale, h = size.height * scale;
    target = Rect::make(bounds.midX() - w / 2, bounds.midY() - h / 2, w, h);
  }
  std::optional<Color> tint;
  if (image_->isTemplate()) tint = tintColor();
  context.drawImage(*image_, target, tint);
}

std::string ImageView::describe() const {
  std::string line = View::describe();
  if (image_) {
    line += " image=" + formatNumber(image_->size().width) + "x" +
            formatNumber(image_->size().height) + (image_->isTemplate() ? " template" : "");
  }
  return line;
}

}  // namespace dz::ui
