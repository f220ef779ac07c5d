// Each overlay state drawn over the sample screen and compared with the stored picture under
// docs/pictures. DZ_UPDATE_PICTURES=1 stores the pictures afresh instead (look at them before
// committing).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "platform/ui/renderer.h"
#include "tests/hud/hud_fixture.h"

namespace dz::hud::test {
namespace {

// Channel differences up to this much are antialiasing noise between Cairo builds.
constexpr int kChannelTolerance = 24;
// Share of pixels that may differ by more, anywhere: glyphs that a font build shapes differently.
constexpr double kDifferingShare = 0.002;
// Pixels that may differ by more in the box outside its text. The spinner, the ring and the
// images are drawn there and nothing else is, so a missing or misplaced one (hundreds of pixels)
// must not hide in the picture-wide share.
constexpr size_t kDifferingInBox = 40;
constexpr double kScale = 2;

std::filesystem::path picturePath(const std::string& name) {
  return std::filesystem::path(DZ_SOURCE_DIR) / "docs" / "pictures" / (name + ".png");
}

int channelDifference(uint32_t a, uint32_t b) {
  int most = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    most = std::max(most, std::abs(static_cast<int>((a >> shift) & 0xFF) -
                                   static_cast<int>((b >> shift) & 0xFF)));
  }
  return most;
}

class PictureTest : public HudTest {
 protected:
  ui::Rect inWindow(const ui::View& view) const {
    return view.convertRectTo(view.bounds(), window_.get());
  }

  void expectPicture(const std::string& name) {
    ui::ImagePtr rendered = ui::Renderer::render(*window_, kScale);
    std::filesystem::path path = picturePath(name);
    const char* update = std::getenv("DZ_UPDATE_PICTURES");
    if (update && std::string(update) == "1") {
      ASSERT_TRUE(rendered->writePng(path)) << path;
      return;
    }
    ui::ImagePtr stored = ui::Image::contentsOfFile(path, kScale);
    ASSERT_TRUE(stored) << "no stored picture " << path;
    ASSERT_EQ(stored->pixelWidth(), rendered->pixelWidth());
    ASSERT_EQ(stored->pixelHeight(), rendered->pixelHeight());
    const ui::Rect box = inWindow(*hud_->hudView());
    const ui::Rect text = inWindow(*hud_->statusLabel());
    size_t differing = 0;
    size_t differingInBox = 0;
    for (size_t i = 0; i < stored->pixels().size(); ++i) {
      if (channelDifference(stored->pixels()[i], rendered->pixels()[i]) <= kChannelTolerance) {
        continue;
      }
      ++differing;
      const ui::Point at{(static_cast<double>(i % stored->pixelWidth()) + 0.5) / kScale,
                         (static_cast<double>(i / stored->pixelWidth()) + 0.5) / kScale};
      differingInBox += box.contains(at) && !text.contains(at);
    }
    const double share = static_cast<double>(differing) / stored->pixels().size();
    const auto renderedPath = std::filesystem::temp_directory_path() / (name + "-rendered.png");
    if (share > kDifferingShare || differingInBox > kDifferingInBox) {
      rendered->writePng(renderedPath);
    }
    EXPECT_LE(share, kDifferingShare)
        << name << ": " << differing << " pixels differ; the rendering is in " << renderedPath;
    EXPECT_LE(differingInBox, kDifferingInBox)
        << name << ": " << differingInBox << " pixels differ in the box outside its text; the "
        << "rendering is in " << renderedPath;
  }
};

TEST_F(PictureTest, OverlayStatesOverTheSampleScreen) {
  struct State {
    const char* name;
    std::function<void()> show;
    double after;
  };
  const State states[] = {
      {"hud-spinner", [] { ProgressHUD::showWithStatus("logging in"); }, 0.4},
      {"hud-progress", [] { ProgressHUD::showProgress(0.6f, "uploading 60%"); }, 0.4},
      {"hud-success", [] { ProgressHUD::showSuccessWithStatus("poll sent!"); }, 0.4},
      {"hud-error", [] { ProgressHUD::showErrorWithStatus("enter all fields"); }, 0.4},
      {"hud-info", [] { ProgressHUD::showInfoWithStatus("updating location"); }, 0.4},
      // Two thirds into the fade-in: the box shrinks from 1.3 times its size as it appears.
      {"hud-fade-in", [] { ProgressHUD::showWithStatus("sending poll"); }, 0.1},
  };
  for (const State& state : states) {
    SCOPED_TRACE(state.name);
    state.show();
    advance(state.after);
    expectPicture(state.name);
    ProgressHUD::setFadeOutAnimationDuration(0);
    ProgressHUD::dismiss();
    advance(0.01);
    ProgressHUD::setFadeOutAnimationDuration(0.15f);
  }
}

TEST_F(PictureTest, GradientMaskOverTheSampleScreen) {
  ProgressHUD::showWithStatus("sending poll", ProgressHUDMaskType::Gradient);
  advance(0.4);
  expectPicture("hud-gradient");
}

}  // namespace
}  // namespace dz::hud::test
