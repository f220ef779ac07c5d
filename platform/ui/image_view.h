// ImageView: a view showing an image scaled by its content mode; a template image takes the
// view's tint colour. Main thread only.
#pragma once

#include "platform/ui/image.h"
#include "platform/ui/view.h"

namespace dz::ui {

enum class ContentMode { ScaleToFill, ScaleAspectFit, ScaleAspectFill, Center };

class ImageView : public View {
 public:
  explicit ImageView(const Rect& frame = {});
  explicit ImageView(ImagePtr image);
  const char* className() const override { return "ImageView"; }

  const ImagePtr& image() const { return image_; }
  void setImage(ImagePtr image);
  ContentMode contentMode() const { return contentMode_; }
  void setContentMode(ContentMode mode);

  Size sizeThatFits(Size size) const override;
  bool drawsContent() const override { return true; }
  void draw(GraphicsContext& context, const Rect& bounds) override;
  void tintColorDidChange() override { setNeedsDisplay(); }
  std::string describe() const override;

 private:
  ImagePtr image_;
  ContentMode contentMode_ = ContentMode::ScaleToFill;
};

}  // namespace dz::ui
