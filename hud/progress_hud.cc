#include "hud/progress_hud.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "hud/resource_bundle.h"
#include "platform/dispatch_queue.h"
#include "platform/exception.h"
#include "platform/queue_check.h"
#include "platform/run_loop.h"
#include "platform/ui/accessibility.h"
#include "platform/ui/activity_indicator_view.h"
#include "platform/ui/clock.h"
#include "platform/ui/keyboard.h"
#include "platform/ui/view_controller.h"

namespace dz::hud {
namespace {

constexpr char kAccessibilityName[] = "ProgressHUD";
constexpr double kVerticalSpacing = 12;
constexpr double kHorizontalSpacing = 12;
constexpr double kLabelSpacing = 8;
constexpr double kImageSide = 28;
constexpr double kMaxLabelWidth = 200;
constexpr double kMaxLabelHeight = 300;
constexpr double kAppearScale = 1.3;
// The inverse scale in single precision, as the platform's drawing code takes it.
const double kDisappearScale = static_cast<double>(1.0f / 1.3f);
constexpr double kMotionRange = 10;
constexpr unsigned kLabelMeasureOptions =
    ui::kUsesLineFragmentOrigin | ui::kUsesFontLeading | ui::kTruncatesLastVisibleLine;

ui::ImagePtr templateImage(const ui::ImagePtr& image) {
  if (!image || image->isTemplate()) return image;
  return image->withRenderingMode(ui::Image::RenderingMode::AlwaysTemplate);
}

// Runs a class operation's work on the main queue, after the caller's turn.
void queue(std::function<void()> work) { platform::DispatchQueue::main()->async(std::move(work)); }

}  // namespace

ProgressHUD::ProgressHUD(const ui::Rect& frame) : View(frame) {
  isInitializing_ = true;
  setUserInteractionEnabled(false);
  activityCount_ = 0;
  hudView()->contentView()->setAlpha(0);
  backgroundView()->setAlpha(0);
  font_ = ui::Font::preferred(ui::TextStyle::Subheadline);
  infoImage_ = templateImage(resourceImage("info"));
  successImage_ = templateImage(resourceImage("success"));
  errorImage_ = templateImage(resourceImage("error"));
  setAccessibilityIdentifier(kAccessibilityName);
  setAccessibilityLabel(std::string(kAccessibilityName));
  setIsAccessibilityElement(true);
  isInitializing_ = false;
}

ProgressHUD::~ProgressHUD() { unregisterNotifications(); }

std::shared_ptr<ProgressHUD> ProgressHUD::sharedView() {
  // Every class operation comes through here; the overlay's state belongs to the main thread.
  if (!platform::RunLoop::isMainThread()) {
    throw dz::Exception(kInternalInconsistencyException,
                        "ProgressHUD is used on the main thread only");
  }
  static std::once_flag once;
  static std::shared_ptr<ProgressHUD>* shared = nullptr;
  std::call_once(once, [] {
    ui::Rect bounds = ui::Screen::main().bounds();
    if (auto delegate = ui::Application::shared().delegate()) {
      if (auto window = delegate->window()) bounds = window->bounds();
    }
    shared = new std::shared_ptr<ProgressHUD>(std::make_shared<ProgressHUD>(bounds));
  });
  return *shared;
}

// Class-level shows.

void ProgressHUD::show() { showWithStatus(std::nullopt); }
void ProgressHUD::showWithStatus(Status status) {
  showProgress(kProgressHUDUndefinedProgress, std::move(status));
}
void ProgressHUD::showProgress(float progress) { showProgress(progress, std::nullopt); }
void ProgressHUD::showProgress(float progress, Status status) {
  sharedView()->queueShowProgress(progress, std::move(status));
}
void ProgressHUD::showInfoWithStatus(Status status) {
  showImage(sharedView()->infoImage_, std::move(status));
}
void ProgressHUD::showSuccessWithStatus(Status status) {
  showImage(sharedView()->successImage_, std::move(status));
}
void ProgressHUD::showErrorWithStatus(Status status) {
  showImage(sharedView()->errorImage_, std::move(status));
}
void ProgressHUD::showImage(ui::ImagePtr image, Status status) {
  double duration = displayDurationForString(status);
  sharedView()->queueShowImage(std::move(image), std::move(status), duration);
}

namespace {

// Shows with `maskType` as the default for the call and the previous default back afterwards;
// the queued show keeps the mask it was called with.
template <class Show>
void withMaskType(ProgressHUDMaskType maskType, Show show) {
  ProgressHUDMaskType previous = ProgressHUD::sharedView()->defaultMaskType();
  ProgressHUD::setDefaultMaskType(maskType);
  show();
  ProgressHUD::setDefaultMaskType(previous);
}

}  // namespace

void ProgressHUD::showWithMaskType(ProgressHUDMaskType maskType) {
  withMaskType(maskType, [] { show(); });
}
void ProgressHUD::showWithStatus(Status status, ProgressHUDMaskType maskType) {
  withMaskType(maskType, [&] { showWithStatus(std::move(status)); });
}
void ProgressHUD::showProgress(float progress, ProgressHUDMaskType maskType) {
  withMaskType(maskType, [&] { showProgress(progress); });
}
void ProgressHUD::showProgress(float progress, Status status, ProgressHUDMaskType maskType) {
  withMaskType(maskType, [&] { showProgress(progress, std::move(status)); });
}
void ProgressHUD::showInfoWithStatus(Status status, ProgressHUDMaskType maskType) {
  withMaskType(maskType, [&] { showInfoWithStatus(std::move(status)); });
}
void ProgressHUD::showSuccessWithStatus(Status status, ProgressHUDMaskType maskType) {
  withMaskType(maskType, [&] { showSuccessWithStatus(std::move(status)); });
}
void ProgressHUD::showErrorWithStatus(Status status, ProgressHUDMaskType maskType) {
  withMaskType(maskType, [&] { showErrorWithStatus(std::move(status)); });
}
void ProgressHUD::showImage(ui::ImagePtr image, Status status, ProgressHUDMaskType maskType) {
  withMaskType(maskType, [&] { showImage(std::move(image), std::move(status)); });
}

// Class-level dismissals and state.

void ProgressHUD::dismiss() { dismissWithDelay(0, nullptr); }
void ProgressHUD::dismissWithCompletion(Completion completion) {
  dismissWithDelay(0, std::move(completion));
}
void ProgressHUD::dismissWithDelay(double delay) { dismissWithDelay(delay, nullptr); }
void ProgressHUD::dismissWithDelay(double delay, Completion completion) {
  sharedView()->queueDismiss(delay, std::move(completion));
}

void ProgressHUD::popActivity() {
  auto hud = sharedView();
  if (hud->activityCount_ > 0) --hud->activityCount_;
  if (hud->activityCount_ == 0) dismiss();
}

bool ProgressHUD::isVisible() { return sharedView()->contentAlpha() > 0; }

double ProgressHUD::displayDurationForString(const Status& text) {
  auto hud = sharedView();
  double length = text ? static_cast<double>(ui::utf16Length(*text)) : 0;
  double duration = std::max(0.06 * length + 0.5, hud->minimumDismissTimeInterval_);
  return std::min(duration, hud->maximumDismissTimeInterval_);
}

void ProgressHUD::setStatus(Status status) {
  auto hud = sharedView();
  hud->statusLabel()->setText(std::move(status));
  hud->updateHUDFrame();
}

// Settings.

void ProgressHUD::setDefaultStyle(ProgressHUDStyle style) {
  storeShared(&ProgressHUD::defaultStyle_, style);
  auto hud = sharedView();
  hud->hudView()->setAlpha(hud->defaultStyle_ == ProgressHUDStyle::Custom ? 0 : 1);
}
void ProgressHUD::setDefaultMaskType(ProgressHUDMaskType maskType) {
  storeShared(&ProgressHUD::defaultMaskType_, maskType);
}
void ProgressHUD::setDefaultAnimationType(ProgressHUDAnimationType type) {
  storeShared(&ProgressHUD::defaultAnimationType_, type);
}
void ProgressHUD::setContainerView(std::shared_ptr<ui::View> containerView) {
  storeShared(&ProgressHUD::containerView_, std::move(containerView));
}
void ProgressHUD::setMinimumSize(ui::Size size) { storeShared(&ProgressHUD::minimumSize_, size); }
void ProgressHUD::setRingThickness(double thickness) {
  storeShared(&ProgressHUD::ringThickness_, thickness);
}
void ProgressHUD::setRingRadius(double radius) { storeShared(&ProgressHUD::ringRadius_, radius); }
void ProgressHUD::setRingNoTextRadius(double radius) {
  storeShared(&ProgressHUD::ringNoTextRadius_, radius);
}
void ProgressHUD::setCornerRadius(double radius) {
  storeShared(&ProgressHUD::cornerRadius_, radius);
}
void ProgressHUD::setFont(const ui::Font& font) { storeShared(&ProgressHUD::font_, font); }
void ProgressHUD::setForegroundColor(ui::Color color) {
  storeShared(&ProgressHUD::foregroundColor_, color);
  setDefaultStyle(ProgressHUDStyle::Custom);
}
void ProgressHUD::setBackgroundColor(ui::Color color) {
  storeShared(&ProgressHUD::backgroundColor_, color);
  setDefaultStyle(ProgressHUDStyle::Custom);
}
void ProgressHUD::setBackgroundLayerColor(ui::Color color) {
  storeShared(&ProgressHUD::backgroundLayerColor_, color);
}
void ProgressHUD::setInfoImage(ui::ImagePtr image) {
  storeShared(&ProgressHUD::infoImage_, std::move(image));
}
void ProgressHUD::setSuccessImage(ui::ImagePtr image) {
  storeShared(&ProgressHUD::successImage_, std::move(image));
}
void ProgressHUD::setErrorImage(ui::ImagePtr image) {
  storeShared(&ProgressHUD::errorImage_, std::move(image));
}
void ProgressHUD::setViewForExtension(std::shared_ptr<ui::View> view) {
  storeShared(&ProgressHUD::viewForExtension_, std::move(view));
}
void ProgressHUD::setMinimumDismissTimeInterval(double seconds) {
  storeShared(&ProgressHUD::minimumDismissTimeInterval_, seconds);
}
void ProgressHUD::setMaximumDismissTimeInterval(double seconds) {
  sharedView()->maximumDismissTimeInterval_ = seconds;  // this one has no initialisation guard
}
void ProgressHUD::setFadeInAnimationDuration(double seconds) {
  storeShared(&ProgressHUD::fadeInAnimationDuration_, seconds);
}
void ProgressHUD::setFadeOutAnimationDuration(double seconds) {
  storeShared(&ProgressHUD::fadeOutAnimationDuration_, seconds);
}
void ProgressHUD::setMaxSupportedWindowLevel(double level) {
  storeShared(&ProgressHUD::maxSupportedWindowLevel_, level);
}
void ProgressHUD::setOffsetFromCenter(ui::Offset offset) {
  storeShared(&ProgressHUD::offsetFromCenter_, offset);
}
void ProgressHUD::resetOffsetFromCenter() { setOffsetFromCenter({0, 0}); }

ui::Color ProgressHUD::foregroundColorForStyle() const {
  switch (defaultStyle_) {
    case ProgressHUDStyle::Light:
      return ui::Color::black();
    case ProgressHUDStyle::Dark:
      return ui::Color::whiteColor();
    case ProgressHUDStyle::Custom:
      break;
  }
  return foregroundColor_;
}

ui::Color ProgressHUD::backgroundColorForStyle() const {
  return defaultStyle_ == ProgressHUDStyle::Custom ? backgroundColor_ : ui::Color::clear();
}

// Queued operations.

void ProgressHUD::queueShowProgress(float progress, Status status) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  std::weak_ptr<View> weak = weak_from_this();
  ProgressHUDMaskType maskType = defaultMaskType_;
  queue([weak, progress, status = std::move(status), maskType] {
    if (auto self = std::static_pointer_cast<ProgressHUD>(weak.lock())) {
      self->runShowProgress(progress, status, maskType);
    }
  });
}

void ProgressHUD::queueShowImage(ui::ImagePtr image, Status status, double duration) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  std::weak_ptr<View> weak = weak_from_this();
  ProgressHUDMaskType maskType = defaultMaskType_;
  queue([weak, image = std::move(image), status = std::move(status), duration, maskType] {
    if (auto self = std::static_pointer_cast<ProgressHUD>(weak.lock())) {
      self->runShowImage(image, status, duration, maskType);
    }
  });
}

void ProgressHUD::queueDismiss(double delay, Completion completion) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  std::weak_ptr<View> weak = weak_from_this();
  queue([weak, delay, completion = std::move(completion)]() mutable {
    auto self = std::static_pointer_cast<ProgressHUD>(weak.lock());
    if (!self) {
      if (completion) completion();
      return;
    }
    self->runDismiss(delay, std::move(completion));
  });
}

void ProgressHUD::runShowProgress(float progress, const Status& status,
                                  ProgressHUDMaskType maskType) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  maskType_ = maskType;
  updateViewHierarchy();
  imageView()->setHidden(true);
  imageView()->setImage(nullptr);
  // The first spinner after an image show starts a new count.
  if (fadeOutTimer_) activityCount_ = 0;
  setFadeOutTimer(nullptr);
  statusLabel()->setText(status);
  progress_ = progress;
  if (progress >= 0) {
    cancelIndefiniteAnimatedViewAnimation();
    const auto& content = hudVibrancyView()->contentView();
    if (!ringView()->superview()) content->addSubview(ringView());
    if (!backgroundRingView()->superview()) content->addSubview(backgroundRingView());
    ui::Transaction::DisableActions still;
    ringView()->setStrokeEnd(progress);
  } else {
    cancelRingLayerAnimation();
    hudVibrancyView()->contentView()->addSubview(indefiniteAnimatedView());
    if (auto native =
            std::dynamic_pointer_cast<ui::ActivityIndicatorView>(indefiniteAnimatedView())) {
      native->startAnimating();
    }
  }
  if (!(progress >= 0) || progress == 0) ++activityCount_;
  showStatus(status);
}

void ProgressHUD::runShowImage(ui::ImagePtr image, const Status& status, double duration,
                               ProgressHUDMaskType maskType) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  maskType_ = maskType;
  updateViewHierarchy();
  progress_ = kProgressHUDUndefinedProgress;
  cancelRingLayerAnimation();
  cancelIndefiniteAnimatedViewAnimation();
  ui::Color tint = foregroundColorForStyle();
  imageView()->setTintColor(tint);
  imageView()->setImage(templateImage(image));
  imageView()->setHidden(false);
  statusLabel()->setText(status);
  showStatus(status);
  std::weak_ptr<View> weak = weak_from_this();
  setFadeOutTimer(ui::after(duration, [weak] {
    if (auto self = std::static_pointer_cast<ProgressHUD>(weak.lock())) {
      self->queueDismiss(0, nullptr);
    }
  }));
}

void ProgressHUD::showStatus(const Status& status) {
  updateHUDFrame();
  positionHUD(nullptr);
  // The mask of this show, also when the overlay is up already with another.
  backgroundView();
  if (maskType_ == ProgressHUDMaskType::None) {
    controlView()->setUserInteractionEnabled(false);
    hudView()->setAccessibilityLabel(status);
    hudView()->setIsAccessibilityElement(true);
  } else {
    controlView()->setUserInteractionEnabled(true);
    setAccessibilityLabel(status);
    setIsAccessibilityElement(true);
  }
  // Visible or fading in already: only the content changed.
  if (contentAlpha() == 1) return;
  post(kProgressHUDWillAppearNotification, this);
  hudView()->setTransform(hudView()->transform().scaled(kAppearScale, kAppearScale));
  auto self = std::static_pointer_cast<ProgressHUD>(shared_from_this());
  if (fadeInAnimationDuration_ > 0) {
    View::animate(
        fadeInAnimationDuration_, 0,
        ui::kAnimationLayoutSubviews | ui::kAnimationAllowUserInteraction |
            ui::kAnimationBeginFromCurrentState,
        [self] { self->appearanceChange(); }, [self](bool) { self->appearanceCompletion(); });
  } else {
    appearanceChange();
    appearanceCompletion();
  }
  setNeedsDisplay();
}

void ProgressHUD::appearanceChange() {
  hudView()->setTransform(hudView()->transform().scaled(kDisappearScale, kDisappearScale));
  if (defaultStyle_ != ProgressHUDStyle::Custom) {
    auto blur = ui::VisualEffect::blur(
        defaultStyle_ == ProgressHUDStyle::Light ? ui::BlurStyle::ExtraLight : ui::BlurStyle::Dark);
    hudView()->setEffect(blur);
    hudVibrancyView()->setEffect(ui::VisualEffect::vibrancy(blur));
  } else {
    hudView()->setAlpha(1);
  }
  hudView()->contentView()->setAlpha(1);
  backgroundView()->setAlpha(1);
}

void ProgressHUD::appearanceCompletion() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (contentAlpha() == 1) {
    registerNotifications();
    post(kProgressHUDDidAppearNotification, this);
  }
  ui::Accessibility::post(ui::AccessibilityNotification::ScreenChanged);
  ui::Accessibility::post(ui::AccessibilityNotification::Announcement, statusLabel()->text());
}

void ProgressHUD::runDismiss(double delay, Completion completion) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  post(kProgressHUDWillDisappearNotification, nullptr);
  activityCount_ = 0;
  // A pending self-dismissal of an image show would fade out the next show.
  setFadeOutTimer(nullptr);
  std::weak_ptr<View> weak = weak_from_this();
  ui::after(delay, [weak, completion = std::move(completion)]() mutable {
    auto self = std::static_pointer_cast<ProgressHUD>(weak.lock());
    if (!self) {
      if (completion) completion();
      return;
    }
    self->fadeOut(std::move(completion));
  });
  setNeedsDisplay();
}

void ProgressHUD::fadeOut(Completion completion) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  auto self = std::static_pointer_cast<ProgressHUD>(shared_from_this());
  if (fadeOutAnimationDuration_ > 0) {
    View::animate(
        fadeOutAnimationDuration_, 0,
        ui::kAnimationAllowUserInteraction | ui::kAnimationBeginFromCurrentState,
        [self] { self->disappearanceChange(); },
        [self, completion = std::move(completion)](bool) {
          self->disappearanceCompletion(completion);
        });
  } else {
    disappearanceChange();
    disappearanceCompletion(completion);
  }
}

void ProgressHUD::disappearanceChange() {
  hudView()->setTransform(hudView()->transform().scaled(kDisappearScale, kDisappearScale));
  if (defaultStyle_ != ProgressHUDStyle::Custom) {
    hudView()->setEffect(std::nullopt);
    hudVibrancyView()->setEffect(std::nullopt);
  } else {
    hudView()->setAlpha(0);
  }
  hudView()->contentView()->setAlpha(0);
  backgroundView()->setAlpha(0);
}

void ProgressHUD::disappearanceCompletion(const Completion& completion) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  // A show that came during the fade-out has taken over: this dismissal is over all the same.
  if (contentAlpha() != 0) {
    if (completion) completion();
    return;
  }
  controlView()->removeFromSuperview();
  backgroundView()->removeFromSuperview();
  hudView()->removeFromSuperview();
  removeFromSuperview();
  progress_ = kProgressHUDUndefinedProgress;
  cancelRingLayerAnimation();
  cancelIndefiniteAnimatedViewAnimation();
  unregisterNotifications();
  post(kProgressHUDDidDisappearNotification, this);
  if (ui::Window* key = ui::Application::shared().keyWindow()) {
    if (const auto& root = key->rootViewController()) root->setNeedsStatusBarAppearanceUpdate();
  }
  ui::Accessibility::post(ui::AccessibilityNotification::ScreenChanged);
  if (completion) completion();
}

void ProgressHUD::setFadeOutTimer(platform::CancellablePtr timer) {
  if (fadeOutTimer_) fadeOutTimer_->cancel();
  fadeOutTimer_ = std::move(timer);
}

// Views.

ui::Rect ProgressHUD::appWindowBounds() const {
  if (auto delegate = ui::Application::shared().delegate()) {
    if (auto window = delegate->window()) return window->bounds();
  }
  return ui::Screen::main().bounds();
}

const std::shared_ptr<ui::Control>& ProgressHUD::controlView() {
  if (!controlView_) {
    controlView_ = std::make_shared<ui::Control>();
    controlView_->setAutoresizingMask(ui::kFlexibleWidth | ui::kFlexibleHeight);
    controlView_->View::setBackgroundColor(ui::Color::clear());
    std::weak_ptr<View> weak = weak_from_this();
    controlView_->addTarget(ui::kTouchDown, [weak](ui::Control&, const ui::Event& event) {
      if (auto self = std::static_pointer_cast<ProgressHUD>(weak.lock())) {
        self->controlViewDidReceiveTouchEvent(event);
      }
    });
  }
  controlView_->setFrame(appWindowBounds());
  return controlView_;
}

const std::shared_ptr<ui::View>& ProgressHUD::backgroundView() {
  if (!backgroundView_) {
    backgroundView_ = std::make_shared<ui::View>();
    backgroundView_->setAutoresizingMask(ui::kFlexibleWidth | ui::kFlexibleHeight);
  }
  if (!backgroundView_->superview()) insertSubviewBelow(backgroundView_, hudView().get());
  auto detachGradient = [this] {
    if (backgroundRadialGradientLayer_ && backgroundRadialGradientLayer_->superlayer()) {
      backgroundRadialGradientLayer_->removeFromSuperlayer();
    }
  };
  switch (maskType_) {
    case ProgressHUDMaskType::None:
    case ProgressHUDMaskType::Clear:
      // Nothing of an earlier black, custom or gradient mask stays behind.
      detachGradient();
      backgroundView_->setBackgroundColor(ui::Color::clear());
      break;
    case ProgressHUDMaskType::Black:
      detachGradient();
      backgroundView_->setBackgroundColor(ui::Color::white(0, 0.4));
      break;
    case ProgressHUDMaskType::Gradient:
      if (!backgroundRadialGradientLayer_) {
        backgroundRadialGradientLayer_ = RadialGradientLayer::create();
      }
      if (!backgroundRadialGradientLayer_->superlayer()) {
        backgroundView_->layer()->insertSublayer(backgroundRadialGradientLayer_, 0);
      }
      break;
    case ProgressHUDMaskType::Custom:
      detachGradient();
      backgroundView_->setBackgroundColor(backgroundLayerColor_);
      break;
  }
  backgroundView_->setFrame(bounds());
  if (backgroundRadialGradientLayer_) {
    backgroundRadialGradientLayer_->setFrame(bounds());
    backgroundRadialGradientLayer_->setGradientCenter(
        {center().x, (bounds().height() - visibleKeyboardHeight()) / 2});
  }
  return backgroundView_;
}

const std::shared_ptr<ui::VisualEffectView>& ProgressHUD::hudView() {
  if (!hudView_) {
    hudView_ = std::make_shared<ui::VisualEffectView>();
    hudView_->setClipsToBounds(true);
    hudView_->setAutoresizingMask(ui::kFlexibleLeftMargin | ui::kFlexibleRightMargin |
                                  ui::kFlexibleTopMargin | ui::kFlexibleBottomMargin);
  }
  if (!hudView_->superview()) addSubview(hudView_);
  hudView_->layer()->setCornerRadius(cornerRadius_);
  hudView_->setBackgroundColor(backgroundColorForStyle());
  return hudView_;
}

const std::shared_ptr<ui::VisualEffectView>& ProgressHUD::hudVibrancyView() {
  if (!hudVibrancyView_) {
    hudVibrancyView_ = std::make_shared<ui::VisualEffectView>();
    hudVibrancyView_->setClipsToBounds(true);
    hudVibrancyView_->setAutoresizingMask(ui::kFlexibleLeftMargin | ui::kFlexibleRightMargin |
                                          ui::kFlexibleTopMargin | ui::kFlexibleBottomMargin);
  }
  if (!hudVibrancyView_->superview()) hudView()->contentView()->addSubview(hudVibrancyView_);
  return hudVibrancyView_;
}

const std::shared_ptr<ui::Label>& ProgressHUD::statusLabel() {
  if (!statusLabel_) {
    statusLabel_ = std::make_shared<ui::Label>();
    statusLabel_->View::setBackgroundColor(ui::Color::clear());
    statusLabel_->setAdjustsFontSizeToFitWidth(true);
    statusLabel_->setTextAlignment(ui::TextAlignment::Center);
    statusLabel_->setBaselineAdjustment(ui::BaselineAdjustment::AlignCenters);
    statusLabel_->setNumberOfLines(0);
  }
  if (!statusLabel_->superview()) hudVibrancyView()->contentView()->addSubview(statusLabel_);
  statusLabel_->setTextColor(foregroundColorForStyle());
  statusLabel_->setFont(font_);
  return statusLabel_;
}

const std::shared_ptr<ui::ImageView>& ProgressHUD::imageView() {
  if (!imageView_) {
    imageView_ = std::make_shared<ui::ImageView>(ui::Rect::make(0, 0, kImageSide, kImageSide));
  }
  if (!imageView_->superview()) hudVibrancyView()->contentView()->addSubview(imageView_);
  return imageView_;
}

bool ProgressHUD::statusHasText() { return statusLabel()->text().has_value(); }

const std::shared_ptr<ui::View>& ProgressHUD::indefiniteAnimatedView() {
  ui::Color color = foregroundColorForStyle();
  if (defaultAnimationType_ == ProgressHUDAnimationType::Flat) {
    if (indefiniteAnimatedView_ &&
        !std::dynamic_pointer_cast<IndefiniteAnimatedView>(indefiniteAnimatedView_)) {
      indefiniteAnimatedView_->removeFromSuperview();
      indefiniteAnimatedView_.reset();
    }
    if (!indefiniteAnimatedView_) {
      indefiniteAnimatedView_ = std::make_shared<IndefiniteAnimatedView>();
    }
    auto ring = std::static_pointer_cast<IndefiniteAnimatedView>(indefiniteAnimatedView_);
    ring->setStrokeColor(color);
    ring->setStrokeThickness(ringThickness_);
    ring->setRadius(statusHasText() ? ringRadius_ : ringNoTextRadius_);
  } else {
    if (indefiniteAnimatedView_ &&
        !std::dynamic_pointer_cast<ui::ActivityIndicatorView>(indefiniteAnimatedView_)) {
      indefiniteAnimatedView_->removeFromSuperview();
      indefiniteAnimatedView_.reset();
    }
    if (!indefiniteAnimatedView_) {
      indefiniteAnimatedView_ =
          std::make_shared<ui::ActivityIndicatorView>(ui::ActivityIndicatorStyle::WhiteLarge);
    }
    std::static_pointer_cast<ui::ActivityIndicatorView>(indefiniteAnimatedView_)->setColor(color);
  }
  indefiniteAnimatedView_->sizeToFit();
  return indefiniteAnimatedView_;
}

const std::shared_ptr<ProgressAnimatedView>& ProgressHUD::ringView() {
  if (!ringView_) ringView_ = std::make_shared<ProgressAnimatedView>();
  ringView_->setStrokeColor(foregroundColorForStyle());
  ringView_->setStrokeThickness(ringThickness_);
  ringView_->setRadius(statusHasText() ? ringRadius_ : ringNoTextRadius_);
  return ringView_;
}

const std::shared_ptr<ProgressAnimatedView>& ProgressHUD::backgroundRingView() {
  if (!backgroundRingView_) {
    backgroundRingView_ = std::make_shared<ProgressAnimatedView>();
    backgroundRingView_->setStrokeEnd(1);
  }
  backgroundRingView_->setStrokeColor(
      foregroundColorForStyle().withAlpha(static_cast<double>(0.1f)));
  backgroundRingView_->setStrokeThickness(ringThickness_);
  backgroundRingView_->setRadius(statusHasText() ? ringRadius_ : ringNoTextRadius_);
  return backgroundRingView_;
}

void ProgressHUD::cancelRingLayerAnimation() {
  {
    ui::Transaction::DisableActions still;
    hudView()->layer()->removeAllAnimations();
    ringView()->setStrokeEnd(0);
  }
  ringView()->removeFromSuperview();
  backgroundRingView()->removeFromSuperview();
}

void ProgressHUD::cancelIndefiniteAnimatedViewAnimation() {
  const auto& spinner = indefiniteAnimatedView();
  if (auto native = std::dynamic_pointer_cast<ui::ActivityIndicatorView>(spinner)) {
    native->stopAnimating();
  }
  spinner->removeFromSuperview();
}

// Layout.

void ProgressHUD::updateViewHierarchy() {
  const auto& control = controlView();
  if (ui::View* parent = control->superview()) {
    parent->bringSubviewToFront(control.get());
  } else if (containerView_) {
    containerView_->addSubview(control);
  } else if (ui::Window* window = frontWindow()) {
    window->addSubview(control);
  }
  if (!superview()) control->addSubview(shared_from_this());
}

ui::Window* ProgressHUD::frontWindow() const {
  std::vector<ui::Window*> windows = ui::Application::shared().windows();
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    ui::Window* window = *it;
    double level = window->windowLevel();
    if (!window->isHidden() && window->alpha() > 0 && level >= ui::kWindowLevelNormal &&
        level <= maxSupportedWindowLevel_) {
      return window;
    }
  }
  return nullptr;
}

void ProgressHUD::updateHUDFrame() {
  bool imageUsed = imageView()->image() && !imageView()->isHidden();
  bool contentUsed = imageUsed || imageView()->isHidden();
  const Status& text = statusLabel()->text();
  ui::Rect labelRect;
  double labelWidth = 0, labelHeight = 0;
  if (text) {
    labelRect = ui::boundingRect(*text, statusLabel()->font(), {kMaxLabelWidth, kMaxLabelHeight},
                                 kLabelMeasureOptions);
    labelWidth = std::ceil(static_cast<float>(labelRect.width()));
    labelHeight = std::ceil(static_cast<float>(labelRect.height()));
  }
  double contentWidth = 0, contentHeight = 0;
  if (contentUsed) {
    ui::Rect content = imageUsed ? imageView()->frame() : indefiniteAnimatedView()->frame();
    contentWidth = content.width();
    contentHeight = content.height();
  }
  double hudWidth = kHorizontalSpacing + std::max(labelWidth, contentWidth) + kHorizontalSpacing;
  double hudHeight = kVerticalSpacing + labelHeight + contentHeight + kVerticalSpacing;
  if (text && contentUsed) hudHeight += kLabelSpacing;
  ui::Rect box = ui::Rect::make(0, 0, std::max(minimumSize_.width, hudWidth),
                                std::max(minimumSize_.height, hudHeight));
  hudView()->setBounds(box);
  hudVibrancyView()->setBounds(box);

  ui::Transaction::DisableActions still;
  double centerY = box.midY();
  if (text) {
    centerY = std::max(kVerticalSpacing,
                       (minimumSize_.height - contentHeight - kLabelSpacing - labelHeight) / 2) +
              contentHeight / 2;
  }
  ui::Point contentCenter{box.midX(), centerY};
  indefiniteAnimatedView()->setCenter(contentCenter);
  if (progress_ != kProgressHUDUndefinedProgress) {
    ringView()->setCenter(contentCenter);
    backgroundRingView()->setCenter(contentCenter);
  }
  imageView()->setCenter(contentCenter);
  double labelCenterY = box.midY();
  if (contentUsed) {
    double contentBottom =
        imageUsed ? imageView()->frame().maxY() : indefiniteAnimatedView()->frame().maxY();
    labelCenterY = contentBottom + kLabelSpacing + labelHeight / 2;
  }
  statusLabel()->setFrame(labelRect);
  statusLabel()->setCenter({box.midX(), labelCenterY});
  statusLabel()->setHidden(!text);
}

double ProgressHUD::visibleKeyboardHeight() const { return ui::Keyboard::shared().visibleHeight(); }

void ProgressHUD::positionHUD(const platform::Notification* notification) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  setFrame(appWindowBounds());
  ui::Application& app = ui::Application::shared();
  ui::InterfaceOrientation orientation = app.statusBarOrientation();
  double keyboardHeight = 0, duration = 0;
  if (notification) {
    const Value::Map& info = notification->userInfo;
    auto begin = info.find(ui::kKeyboardFrameBeginUserInfoKey);
    ui::Rect keyboard = ui::rectFromValue(begin == info.end() ? nullptr : &begin->second);
    auto seconds = info.find(ui::kKeyboardAnimationDurationUserInfoKey);
    if (seconds != info.end()) duration = seconds->second.getDouble().value_or(0);
    // Coordinates here follow the interface orientation, so the height is the height.
    if (notification->name == ui::kKeyboardWillShowNotification ||
        notification->name == ui::kKeyboardDidShowNotification) {
      keyboardHeight = keyboard.height();
    }
  } else {
    keyboardHeight = visibleKeyboardHeight();
  }
  ui::Rect orientationFrame = bounds();
  ui::Rect statusBarFrame = app.statusBarFrame();
  updateMotionEffectForOrientation(orientation);
  double activeHeight = orientationFrame.height();
  if (keyboardHeight > 0) activeHeight += statusBarFrame.height() * 2;
  activeHeight -= keyboardHeight;
  ui::Point newCenter{orientationFrame.midX(),
                      std::floor(static_cast<float>(activeHeight) * 0.45f)};
  if (notification) {
    View::animate(duration, 0,
                  ui::kAnimationAllowUserInteraction | ui::kAnimationBeginFromCurrentState, [&] {
                    moveToPoint(newCenter, 0);
                    hudView()->setNeedsDisplay();
                  });
  } else {
    moveToPoint(newCenter, 0);
  }
}

void ProgressHUD::moveToPoint(ui::Point point, double angle) {
  hudView()->setTransform(ui::AffineTransform::makeRotation(angle));
  if (containerView_) {
    hudView()->setCenter(containerView_->center());
  } else {
    hudView()->setCenter(
        {point.x + offsetFromCenter_.horizontal, point.y + offsetFromCenter_.vertical});
  }
}

void ProgressHUD::updateMotionEffectForOrientation(ui::InterfaceOrientation orientation) {
  bool portrait = ui::isPortrait(orientation);
  auto x = portrait ? ui::MotionEffect::Axis::Horizontal : ui::MotionEffect::Axis::Vertical;
  auto y = portrait ? ui::MotionEffect::Axis::Vertical : ui::MotionEffect::Axis::Horizontal;
  hudView()->setMotionEffects(
      {{"center.x", x, -kMotionRange, kMotionRange}, {"center.y", y, -kMotionRange, kMotionRange}});
}

// Notifications and touches.

void ProgressHUD::registerNotifications() {
  unregisterNotifications();
  static const char* const kObserved[] = {ui::kApplicationDidChangeStatusBarOrientationNotification,
                                          ui::kKeyboardWillHideNotification,
                                          ui::kKeyboardDidHideNotification,
                                          ui::kKeyboardWillShowNotification,
                                          ui::kKeyboardDidShowNotification,
                                          ui::kApplicationDidBecomeActiveNotification};
  std::weak_ptr<View> weak = weak_from_this();
  for (const char* name : kObserved) {
    observers_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
        name, nullptr, platform::DispatchQueue::main(),
        [weak](const platform::Notification& notification) {
          if (auto self = std::static_pointer_cast<ProgressHUD>(weak.lock())) {
            self->positionHUD(&notification);
          }
        }));
  }
}

void ProgressHUD::unregisterNotifications() {
  for (auto token : observers_) platform::NotificationCenter::defaultCenter().removeObserver(token);
  observers_.clear();
}

Value::Map ProgressHUD::notificationUserInfo() {
  const Status& text = statusLabel()->text();
  if (!text) return {};
  return Value::Map{{kProgressHUDStatusUserInfoKey, *text}};
}

void ProgressHUD::post(const char* name, const void* sender) {
  platform::NotificationCenter::defaultCenter().post(name, sender, notificationUserInfo());
}

void ProgressHUD::controlViewDidReceiveTouchEvent(const ui::Event& event) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  post(kProgressHUDDidReceiveTouchEventNotification, this);
  if (event.touches.empty()) return;
  ui::Point location = event.touches.front().locationIn(*this);
  if (hudView()->frame().contains(location)) {
    post(kProgressHUDDidTouchDownInsideNotification, this);
  }
}

}  // namespace dz::hud
