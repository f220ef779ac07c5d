// ProgressHUD: the modal overlay the whole program shares, a rounded box near the middle of the
// front window with a spinning ring, a progress ring or an image, an optional status text and an
// optional mask over the rest of the screen. Callers use the class-level operations, which act on
// one shared view made on first use. Shows and dismissals are queued onto the main queue and run
// in call order; image shows dismiss themselves after a time that grows with their text; spinner
// shows count activities that popActivity() balances. Appearance changes and touches are posted
// on the default notification center. Timers and fades run on the UI clock (platform/ui/clock.h).
// Main thread only: a class operation on another thread throws dz::Exception. The shared view
// lives until exit.
#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hud/radial_gradient_layer.h"
#include "hud/ring_views.h"
#include "platform/notification_center.h"
#include "platform/ui/application.h"
#include "platform/ui/control.h"
#include "platform/ui/font.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/visual_effect_view.h"

namespace dz::hud {

inline constexpr char kProgressHUDWillAppearNotification[] = "ProgressHUDWillAppearNotification";
inline constexpr char kProgressHUDDidAppearNotification[] = "ProgressHUDDidAppearNotification";
inline constexpr char kProgressHUDWillDisappearNotification[] =
    "ProgressHUDWillDisappearNotification";
inline constexpr char kProgressHUDDidDisappearNotification[] =
    "ProgressHUDDidDisappearNotification";
inline constexpr char kProgressHUDDidReceiveTouchEventNotification[] =
    "ProgressHUDDidReceiveTouchEventNotification";
inline constexpr char kProgressHUDDidTouchDownInsideNotification[] =
    "ProgressHUDDidTouchDownInsideNotification";
inline constexpr char kProgressHUDStatusUserInfoKey[] = "ProgressHUDStatusUserInfoKey";

// The progress of a spinner show.
inline constexpr float kProgressHUDUndefinedProgress = -1;

enum class ProgressHUDStyle { Light = 0, Dark = 1, Custom = 2 };
enum class ProgressHUDMaskType { None = 1, Clear = 2, Black = 3, Gradient = 4, Custom = 5 };
enum class ProgressHUDAnimationType { Flat = 0, Native = 1 };

// A status text, or none for no text (an empty text is a text).
using Status = std::optional<std::string>;

class ProgressHUD : public ui::View {
 public:
  using Completion = std::function<void()>;

  // The shared view, made on first use with the bounds of the application delegate's window.
  // Throws dz::Exception off the main thread, as every class operation does.
  static std::shared_ptr<ProgressHUD> sharedView();

  // Shows. The variants with a mask type show with that mask and leave the default as it was.
  static void show();
  static void showWithStatus(Status status);
  static void showProgress(float progress);
  static void showProgress(float progress, Status status);
  static void showInfoWithStatus(Status status);
  static void showSuccessWithStatus(Status status);
  static void showErrorWithStatus(Status status);
  static void showImage(ui::ImagePtr image, Status status);
  static void showWithMaskType(ProgressHUDMaskType maskType);
  static void showWithStatus(Status status, ProgressHUDMaskType maskType);
  static void showProgress(float progress, ProgressHUDMaskType maskType);
  static void showProgress(float progress, Status status, ProgressHUDMaskType maskType);
  static void showInfoWithStatus(Status status, ProgressHUDMaskType maskType);
  static void showSuccessWithStatus(Status status, ProgressHUDMaskType maskType);
  static void showErrorWithStatus(Status status, ProgressHUDMaskType maskType);
  static void showImage(ui::ImagePtr image, Status status, ProgressHUDMaskType maskType);

  // Dismissals; the completion runs once the overlay is gone, or once a show that came during
  // its fade-out has taken over.
  static void dismiss();
  static void dismissWithCompletion(Completion completion);
  static void dismissWithDelay(double delay);
  static void dismissWithDelay(double delay, Completion completion);
  static void popActivity();
  static bool isVisible();
  // Seconds an image show stays for this text.
  static double displayDurationForString(const Status& text);
  // Changes the text at once and sizes the box to it.
  static void setStatus(Status status);

  // Settings of the shared view.
  static void setDefaultStyle(ProgressHUDStyle style);
  static void setDefaultMaskType(ProgressHUDMaskType maskType);
  static void setDefaultAnimationType(ProgressHUDAnimationType type);
  static void setContainerView(std::shared_ptr<ui::View> containerView);
  static void setMinimumSize(ui::Size size);
  static void setRingThickness(double thickness);
  static void setRingRadius(double radius);
  static void setRingNoTextRadius(double radius);
  static void setCornerRadius(double radius);
  static void setFont(const ui::Font& font);
  // These two switch the style to custom.
  static void setForegroundColor(ui::Color color);
  static void setBackgroundColor(ui::Color color);
  static void setBackgroundLayerColor(ui::Color color);
  static void setInfoImage(ui::ImagePtr image);
  static void setSuccessImage(ui::ImagePtr image);
  static void setErrorImage(ui::ImagePtr image);
  static void setViewForExtension(std::shared_ptr<ui::View> view);
  static void setMinimumDismissTimeInterval(double seconds);
  static void setMaximumDismissTimeInterval(double seconds);
  static void setFadeInAnimationDuration(double seconds);
  static void setFadeOutAnimationDuration(double seconds);
  static void setMaxSupportedWindowLevel(double level);
  static void setOffsetFromCenter(ui::Offset offset);
  static void resetOffsetFromCenter();

  // What the shared view holds (read by tests and the class operations).
  ProgressHUDStyle defaultStyle() const { return defaultStyle_; }
  ProgressHUDMaskType defaultMaskType() const { return defaultMaskType_; }
  // The mask of the show on screen.
  ProgressHUDMaskType maskType() const { return maskType_; }
  ProgressHUDAnimationType defaultAnimationType() const { return defaultAnimationType_; }
  double ringThickness() const { return ringThickness_; }
  double ringRadius() const { return ringRadius_; }
  double ringNoTextRadius() const { return ringNoTextRadius_; }
  double cornerRadius() const { return cornerRadius_; }
  const ui::Font& font() const { return font_; }
  const ui::ImagePtr& infoImage() const { return infoImage_; }
  const ui::ImagePtr& successImage() const { return successImage_; }
  const ui::ImagePtr& errorImage() const { return errorImage_; }
  double minimumDismissTimeInterval() const { return minimumDismissTimeInterval_; }
  double maximumDismissTimeInterval() const { return maximumDismissTimeInterval_; }
  double fadeInAnimationDuration() const { return fadeInAnimationDuration_; }
  double fadeOutAnimationDuration() const { return fadeOutAnimationDuration_; }
  double maxSupportedWindowLevel() const { return maxSupportedWindowLevel_; }
  ui::Size minimumSize() const { return minimumSize_; }
  ui::Offset offsetFromCenter() const { return offsetFromCenter_; }
  float progress() const { return progress_; }
  unsigned activityCount() const { return activityCount_; }
  bool hasFadeOutTimer() const { return fadeOutTimer_ != nullptr; }
  ui::Color foregroundColorForStyle() const;
  ui::Color backgroundColorForStyle() const;

  // The views, made (and configured) on access.
  const std::shared_ptr<ui::Control>& controlView();
  const std::shared_ptr<ui::View>& backgroundView();
  const std::shared_ptr<RadialGradientLayer>& backgroundRadialGradientLayer() const {
    return backgroundRadialGradientLayer_;
  }
  const std::shared_ptr<ui::VisualEffectView>& hudView();
  const std::shared_ptr<ui::VisualEffectView>& hudVibrancyView();
  const std::shared_ptr<ui::Label>& statusLabel();
  const std::shared_ptr<ui::ImageView>& imageView();
  const std::shared_ptr<ui::View>& indefiniteAnimatedView();
  const std::shared_ptr<ProgressAnimatedView>& ringView();
  const std::shared_ptr<ProgressAnimatedView>& backgroundRingView();

  const char* className() const override { return "ProgressHUD"; }
  explicit ProgressHUD(const ui::Rect& frame);
  ~ProgressHUD() override;

 private:
  // Class operations on the shared view.
  void queueShowProgress(float progress, Status status);
  void queueShowImage(ui::ImagePtr image, Status status, double duration);
  void queueDismiss(double delay, Completion completion);

  // The queued steps.
  void runShowProgress(float progress, const Status& status, ProgressHUDMaskType maskType);
  void runShowImage(ui::ImagePtr image, const Status& status, double duration,
                    ProgressHUDMaskType maskType);
  void runDismiss(double delay, Completion completion);
  void showStatus(const Status& status);
  void appearanceChange();
  void appearanceCompletion();
  void fadeOut(Completion completion);
  void disappearanceChange();
  void disappearanceCompletion(const Completion& completion);

  // Layout and placement.
  void updateViewHierarchy();
  void updateHUDFrame();
  void positionHUD(const platform::Notification* notification);
  void moveToPoint(ui::Point point, double angle);
  ui::Window* frontWindow() const;
  double visibleKeyboardHeight() const;
  void updateMotionEffectForOrientation(ui::InterfaceOrientation orientation);
  void registerNotifications();
  void unregisterNotifications();
  void controlViewDidReceiveTouchEvent(const ui::Event& event);
  Value::Map notificationUserInfo();
  void post(const char* name, const void* sender);
  void cancelRingLayerAnimation();
  void cancelIndefiniteAnimatedViewAnimation();
  void setFadeOutTimer(platform::CancellablePtr timer);
  bool statusHasText();
  ui::Rect appWindowBounds() const;
  double contentAlpha() { return hudView()->contentView()->alpha(); }
  // Stores a setting of the shared view unless it is still initialising.
  template <class T, class V>
  static void storeShared(T ProgressHUD::*field, V&& value) {
    auto hud = sharedView();
    if (!hud->isInitializing_) (*hud).*field = std::forward<V>(value);
  }

  bool isInitializing_ = true;
  ProgressHUDStyle defaultStyle_ = ProgressHUDStyle::Light;
  ProgressHUDMaskType defaultMaskType_ = ProgressHUDMaskType::None;
  ProgressHUDMaskType maskType_ = ProgressHUDMaskType::None;
  ProgressHUDAnimationType defaultAnimationType_ = ProgressHUDAnimationType::Flat;
  std::shared_ptr<ui::View> containerView_;
  double ringThickness_ = 2;
  double ringRadius_ = 18;
  double ringNoTextRadius_ = 24;
  double cornerRadius_ = 14;
  ui::Font font_;
  ui::Color backgroundColor_ = ui::Color::clear();
  ui::Color foregroundColor_ = ui::Color::black();
  ui::Color backgroundLayerColor_ = ui::Color::white(0, 0.4);
  ui::ImagePtr infoImage_;
  ui::ImagePtr successImage_;
  ui::ImagePtr errorImage_;
  std::shared_ptr<ui::View> viewForExtension_;
  double minimumDismissTimeInterval_ = 5;
  double maximumDismissTimeInterval_ = std::numeric_limits<double>::max();
  double fadeInAnimationDuration_ = 0.15f;
  double fadeOutAnimationDuration_ = 0.15f;
  double maxSupportedWindowLevel_ = ui::kWindowLevelNormal;
  platform::CancellablePtr fadeOutTimer_;
  float progress_ = 0;
  unsigned activityCount_ = 0;
  ui::Size minimumSize_;
  ui::Offset offsetFromCenter_;

  std::shared_ptr<ui::Control> controlView_;
  std::shared_ptr<ui::View> backgroundView_;
  std::shared_ptr<RadialGradientLayer> backgroundRadialGradientLayer_;
  std::shared_ptr<ui::VisualEffectView> hudView_;
  std::shared_ptr<ui::VisualEffectView> hudVibrancyView_;
  std::shared_ptr<ui::Label> statusLabel_;
  std::shared_ptr<ui::ImageView> imageView_;
  std::shared_ptr<ui::View> indefiniteAnimatedView_;
  std::shared_ptr<ProgressAnimatedView> ringView_;
  std::shared_ptr<ProgressAnimatedView> backgroundRingView_;
  std::vector<platform::NotificationCenter::ObserverToken> observers_;
};

}  // namespace dz::hud
