// Image: an immutable bitmap with a scale (pixels per point) and a rendering mode; a template
// image is drawn as a shape in its view's tint colour, only its alpha counts. Pixels are 32-bit
// premultiplied ARGB, native byte order, rows without padding (Cairo's ARGB32 layout). Shared as
// std::shared_ptr<const Image>; thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/geometry.h"

namespace dz::platform {
class Bundle;
}

namespace dz::ui {

class Image;
using ImagePtr = std::shared_ptr<const Image>;

class Image {
 public:
  enum class RenderingMode { Automatic, AlwaysOriginal, AlwaysTemplate };

  // Throws dz::Exception when the pixel count does not match the size.
  static ImagePtr fromPixels(int pixelWidth, int pixelHeight, double scale,
                             std::vector<uint32_t> argb);
  // A PNG file; none when it is missing or unreadable.
  static ImagePtr contentsOfFile(const std::filesystem::path& path, double scale = 1);
  // "<name>@2x.png" (scale 2), else "<name>.png" (scale 1) from `bundle`; none when neither loads.
  static ImagePtr named(std::string_view name, const platform::Bundle& bundle);

  int pixelWidth() const { return width_; }
  int pixelHeight() const { return height_; }
  double scale() const { return scale_; }
  Size size() const { return {width_ / scale_, height_ / scale_}; }
  RenderingMode renderingMode() const { return mode_; }
  bool isTemplate() const { return mode_ == RenderingMode::AlwaysTemplate; }
  // The same pixels with another mode.
  ImagePtr withRenderingMode(RenderingMode mode) const;

  const std::vector<uint32_t>& pixels() const { return pixels_; }
  uint32_t pixel(int x, int y) const { return pixels_[static_cast<size_t>(y) * width_ + x]; }
  // The pixel as an unpremultiplied colour.
  Color color(int x, int y) const;

  // Returns false when the file cannot be written.
  bool writePng(const std::filesystem::path& path) const;

 private:
  Image(int width, int height, double scale, std::shared_ptr<const std::vector<uint32_t>> data,
        RenderingMode mode);
  int width_;
  int height_;
  double scale_;
  std::shared_ptr<const std::vector<uint32_t>> data_;
  const std::vector<uint32_t>& pixels_;
  RenderingMode mode_;
};

}  // namespace dz::ui
