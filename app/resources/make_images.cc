// Draws the application's images into a folder (app/resources beside this file):
//   dz_app_make_images <folder>
// "bolt" is the feed's lightning bolt, 32 x 56 points in the accent colour, drawn at two pixels
// a point with the UI layer.
#include <cstdio>
#include <filesystem>

#include "app/option_button.h"
#include "platform/ui/graphics_context.h"
#include "platform/ui/renderer.h"

namespace {

class BoltView : public dz::ui::View {
 public:
  BoltView() : View(dz::ui::Rect::make(0, 0, 32, 56)) {}
  bool drawsContent() const override { return true; }
  void draw(dz::ui::GraphicsContext& context, const dz::ui::Rect&) override {
    dz::ui::Path bolt;
    bolt.moveTo({19, 1});
    bolt.lineTo({4, 32});
    bolt.lineTo({14, 32});
    bolt.lineTo({10, 55});
    bolt.lineTo({28, 22});
    bolt.lineTo({18, 22});
    bolt.lineTo({24, 1});
    bolt.close();
    context.fill(bolt, pollapp::kAccentColor);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  BoltView bolt;
  std::filesystem::path path = std::filesystem::path(argv[1]) / "bolt@2x.png";
  bool ok = dz::ui::Renderer::writePng(bolt, path, 2);
  std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.c_str());
  return ok ? 0 : 1;
}
