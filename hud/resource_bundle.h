// The overlay's resource bundle: "ProgressHUD.bundle" in the program's main bundle, holding the
// images "info", "success", "error" and "angle-mask". Thread-safe.
#pragma once

#include <string_view>

#include "platform/ui/image.h"

namespace dz::hud {

// The image of that name from the bundle; none when the bundle or the image is missing.
ui::ImagePtr resourceImage(std::string_view name);

}  // namespace dz::hud
