// The renderer's pixels: backgrounds and corners, opacity, masks, template tints, text, and the
// content cache.
#include "platform/ui/renderer.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/bundle.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/visual_effect_view.h"
#include "tests/support/sandbox.h"

namespace dz::ui {
namespace {

bool near(Color a, Color b) {
  auto close = [](double x, double y) { return std::abs(x - y) < 0.02; };
  return close(a.red, b.red) && close(a.green, b.green) && close(a.blue, b.blue) &&
         close(a.alpha, b.alpha);
}

TEST(RendererTest, BackgroundsCornersOpacityAndMasks) {
  auto root = std::make_shared<View>(Rect::make(0, 0, 40, 20));
  root->setBackgroundColor(Color::whiteColor());
  auto dot = std::make_shared<View>(Rect::make(0, 0, 20, 20));
  dot->setBackgroundColor(Color::rgb(1, 0, 0));
  dot->layer()->setCornerRadius(10);
  auto faint = std::make_shared<View>(Rect::make(20, 0, 20, 20));
  faint->setBackgroundColor(Color::rgb(0, 0, 1));
  faint->setAlpha(0.5);
  root->addSubview(dot);
  root->addSubview(faint);
  ImagePtr image = Renderer::render(*root, 1);
  ASSERT_EQ(image->pixelWidth(), 40);
  EXPECT_TRUE(near(image->color(10, 10), Color::rgb(1, 0, 0)));
  EXPECT_TRUE(near(image->color(0, 0), Color::whiteColor()));  // outside the rounded corner
  EXPECT_TRUE(near(image->color(30, 10), Color::rgb(0.5, 0.5, 1)));

  // A mask's alpha cuts its layer: only the right half of the left dot stays.
  auto mask = Layer::create();
  mask->setFrame(Rect::make(10, 0, 10, 20));
  mask->setBackgroundColor(Color::black());
  dot->layer()->setMask(mask);
  image = Renderer::render(*root, 1);
  EXPECT_TRUE(near(image->color(5, 10), Color::whiteColor()));
  EXPECT_TRUE(near(image->color(15, 10), Color::rgb(1, 0, 0)));
}

TEST(RendererTest, TemplateImagesTakeTheTint) {
  std::vector<uint32_t> pixels(4, 0xFF000000u);  // opaque black, 2 × 2
  auto shape =
      Image::fromPixels(2, 2, 1, pixels)->withRenderingMode(Image::RenderingMode::AlwaysTemplate);
  auto view = std::make_shared<ImageView>(shape);
  view->setFrame(Rect::make(0, 0, 4, 4));
  view->setTintColor(Color::rgb(0, 1, 0));
  ImagePtr image = Renderer::render(*view, 1);
  EXPECT_TRUE(near(image->color(2, 2), Color::rgb(0, 1, 0)));
}

TEST(RendererTest, TextTallerThanItsLabelKeepsItsFirstLinesAndEndsInAnEllipsis) {
  // Five characters a line, two lines high: "one two three" needs three.
  auto clipped = std::make_shared<Label>(Rect::make(0, 0, 5 * 10.2, 2 * 20.4));
  clipped->setNumberOfLines(0);
  clipped->setText("one two three");
  auto expected = std::make_shared<Label>(clipped->frame());
  expected->setNumberOfLines(0);
  expected->setText("one\ntwo\u2026");
  EXPECT_EQ(Renderer::render(*clipped, 1)->pixels(), Renderer::render(*expected, 1)->pixels());
  // Measuring is not bounded by the frame.
  EXPECT_EQ(clipped->sizeThatFits({5 * 10.2, 0}).height, std::ceil(3 * 20.4));
}

TEST(RendererTest, TextIsDrawnInsideItsLabelAndRedrawnWhenItChanges) {
  auto label = std::make_shared<Label>(Rect::make(0, 0, 100, 30));
  label->setText("Hi");
  ImagePtr first = Renderer::render(*label, 1);
  size_t inked = 0;
  for (int y = 0; y < first->pixelHeight(); ++y) {
    for (int x = 0; x < first->pixelWidth(); ++x) {
      if (first->color(x, y).alpha > 0.5) {
        ++inked;
        EXPECT_LT(x, 2 * 10.2) << "two glyphs of 17-point text are 20.4 points wide";
      }
    }
  }
  EXPECT_GT(inked, 20u);
  uint64_t draws = label->layer()->displayCount();
  Renderer::render(*label, 1);
  EXPECT_EQ(label->layer()->displayCount(), draws);  // cached
  label->setText("Hello");
  ImagePtr second = Renderer::render(*label, 1);
  EXPECT_EQ(label->layer()->displayCount(), draws + 1);
  EXPECT_NE(first->pixels(), second->pixels());
}

TEST(RendererTest, PngRoundTrip) {
  auto view = std::make_shared<View>(Rect::make(0, 0, 3, 2));
  view->setBackgroundColor(Color::rgb(0.2, 0.4, 0.6, 1));
  testing::ScopedSandbox sandbox;  // a folder of its own: copies of this test run at once
  auto path = sandbox.root() / "renderer.png";
  ASSERT_TRUE(Renderer::writePng(*view, path, 2));
  ImagePtr read = Image::contentsOfFile(path, 2);
  std::filesystem::remove(path);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->size(), (Size{3, 2}));
  EXPECT_TRUE(near(read->color(5, 3), Color::rgb(0.2, 0.4, 0.6)));
  EXPECT_FALSE(Image::contentsOfFile("/nonexistent.png"));
}

TEST(RendererTest, BlurEffectSoftensWhatLiesBehind) {
  auto root = std::make_shared<View>(Rect::make(0, 0, 40, 20));
  auto left = std::make_shared<View>(Rect::make(0, 0, 20, 20));
  left->setBackgroundColor(Color::black());
  root->setBackgroundColor(Color::whiteColor());
  root->addSubview(left);
  auto frosted = std::make_shared<VisualEffectView>(VisualEffect::blur(BlurStyle::Light),
                                                    Rect::make(0, 0, 40, 20));
  root->addSubview(frosted);
  ImagePtr image = Renderer::render(*root, 1);
  // Across the black and white edge the blur leaves greys where there were none.
  double justLeft = image->color(18, 10).red, justRight = image->color(21, 10).red;
  EXPECT_GT(justLeft, 0.2);
  EXPECT_LT(justRight, 0.95);
  EXPECT_LT(justLeft, justRight);
}

TEST(ImageTest, NamedImagesPreferTheDoubleScaleFile) {
  testing::ScopedSandbox sandbox;
  auto folder = sandbox.root() / "images";
  std::filesystem::create_directories(folder);
  auto dot = Image::fromPixels(2, 2, 1, std::vector<uint32_t>(4, 0xFF000000u));
  ASSERT_TRUE(dot->writePng(folder / "dot.png"));
  platform::Bundle bundle(folder);
  EXPECT_EQ(Image::named("dot", bundle)->scale(), 1);
  ASSERT_TRUE(dot->writePng(folder / "dot@2x.png"));
  EXPECT_EQ(Image::named("dot", bundle)->size(), (Size{1, 1}));
  EXPECT_FALSE(Image::named("missing", bundle));
}

}  // namespace
}  // namespace dz::ui
