// Renderer: draws a view (its layer tree, as presented at the UI clock's time) into an image with
// Cairo, so that a person or a picture test can look at a screen. Layers that draw content keep
// it in a cache until they need display again, as on the platform. Main thread only.
#pragma once

#include <filesystem>

#include "platform/ui/image.h"
#include "platform/ui/view.h"

namespace dz::ui {

class Renderer {
 public:
  // Lays the view out where needed and draws it at `scale` pixels a point, in its own
  // coordinates (its position and transform in the superview do not apply).
  static ImagePtr render(View& view, double scale = 2);
  // As render(), written as a PNG file; false when the file cannot be written.
  static bool writePng(View& view, const std::filesystem::path& path, double scale = 2);
};

}  // namespace dz::ui
