#include "platform/ui/image.h"

#include <cairo.h>

#include <cstring>

#include "platform/bundle.h"
#include "platform/exception.h"

namespace dz::ui {

Image::Image(int width, int height, double scale, std::shared_ptr<const std::vector<uint32_t>> data,
             RenderingMode mode)
    : width_(width),
      height_(height),
      scale_(scale > 0 ? scale : 1),
      data_(std::move(data)),
      pixels_(*data_),
      mode_(mode) {}

ImagePtr Image::fromPixels(int pixelWidth, int pixelHeight, double scale,
                           std::vector<uint32_t> argb) {
  if (pixelWidth < 0 || pixelHeight < 0 ||
      argb.size() != static_cast<size_t>(pixelWidth) * static_cast<size_t>(pixelHeight)) {
    throw dz::Exception(kInvalidArgumentException, "Image pixels do not match the image size");
  }
  auto data = std::make_shared<const std::vector<uint32_t>>(std::move(argb));
  return ImagePtr(new Image(pixelWidth, pixelHeight, scale, data, RenderingMode::Automatic));
}

ImagePtr Image::contentsOfFile(const std::filesystem::path& path, double scale) {
  cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
  ImagePtr image;
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    // Any PNG colour type arrives as ARGB32 or RGB24; both are 32 bits a pixel.
    cairo_surface_flush(surface);
    int width = cairo_image_surface_get_width(surface);
    int height = cairo_image_surface_get_height(surface);
    int stride = cairo_image_surface_get_stride(surface);
    bool opaque = cairo_image_surface_get_format(surface) == CAIRO_FORMAT_RGB24;
    const unsigned char* rows = cairo_image_surface_get_data(surface);
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
      std::memcpy(&pixels[static_cast<size_t>(y) * width], rows + static_cast<size_t>(y) * stride,
                  static_cast<size_t>(width) * 4);
      if (opaque) {
        for (int x = 0; x < width; ++x) pixels[static_cast<size_t>(y) * width + x] |= 0xFF000000u;
      }
    }
    image = fromPixels(width, height, scale, std::move(pixels));
  }
  cairo_surface_destroy(surface);
  return image;
}

ImagePtr Image::named(std::string_view name, const platform::Bundle& bundle) {
  std::string doubled = std::string(name) + "@2x";
  if (auto path = bundle.pathForResource(doubled, "png")) {
    if (auto image = contentsOfFile(*path, 2)) return image;
  }
  if (auto path = bundle.pathForResource(name, "png")) return contentsOfFile(*path, 1);
  return nullptr;
}

ImagePtr Image::withRenderingMode(RenderingMode mode) const {
  return ImagePtr(new Image(width_, height_, scale_, data_, mode));
}

Color Image::color(int x, int y) const {
  uint32_t p = pixel(x, y);
  double a = (p >> 24) / 255.0;
  if (a == 0) return Color::clear();
  return {((p >> 16) & 0xFF) / 255.0 / a, ((p >> 8) & 0xFF) / 255.0 / a, (p & 0xFF) / 255.0 / a, a};
}

bool Image::writePng(const std::filesystem::path& path) const {
  // Cairo only reads from the surface while writing.
  auto* data = reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(pixels_.data()));
  cairo_surface_t* surface =
      cairo_image_surface_create_for_data(data, CAIRO_FORMAT_ARGB32, width_, height_, width_ * 4);
  bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

}  // namespace dz::ui
