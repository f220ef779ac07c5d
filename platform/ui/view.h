// View: a rectangle of the screen with its layer, subviews, layout, touches and animations.
// Subviews are owned by their superview (std::shared_ptr); superview(), window() and the layer's
// delegate are back pointers cleared when the owner goes. Changes of frame, bounds, centre,
// transform, alpha and background colour inside View::animate() animate from the old to the new
// value on the UI clock; outside they take effect at once. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/geometry.h"
#include "platform/ui/layer.h"

namespace dz::ui {

class GraphicsContext;
class View;
class ViewController;
class Window;

enum AutoresizingMask : unsigned {
  kFlexibleLeftMargin = 1,
  kFlexibleWidth = 2,
  kFlexibleRightMargin = 4,
  kFlexibleTopMargin = 8,
  kFlexibleHeight = 16,
  kFlexibleBottomMargin = 32,
};

// Option bits of View::animate(), with the platform's values.
enum AnimationOptions : unsigned {
  kAnimationLayoutSubviews = 1,
  kAnimationAllowUserInteraction = 2,
  kAnimationBeginFromCurrentState = 4,
  kAnimationRepeat = 8,
  kAnimationAutoreverse = 16,
  kAnimationCurveEaseInOut = 0,
  kAnimationCurveEaseIn = 1u << 16,
  kAnimationCurveEaseOut = 2u << 16,
  kAnimationCurveLinear = 3u << 16,
};

// A tilt of the device mapped onto a key path of the view ("center.x"); recorded only, as there
// is no device to tilt.
struct MotionEffect {
  enum class Axis { Horizontal, Vertical };
  std::string keyPath;
  Axis axis = Axis::Horizontal;
  double minimumRelativeValue = 0;
  double maximumRelativeValue = 0;
  friend bool operator==(const MotionEffect&, const MotionEffect&) = default;
};

struct Touch {
  Point windowLocation;
  Window* window = nullptr;
  // The touch in `view`'s coordinates.
  Point locationIn(const View& view) const;
};

struct Event {
  std::vector<Touch> touches;
};

class View : public LayerDelegate, public std::enable_shared_from_this<View> {
 public:
  explicit View(const Rect& frame = {});
  ~View() override;
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  virtual const char* className() const { return "View"; }
  const std::shared_ptr<Layer>& layer() const { return layer_; }

  // Geometry.
  Rect frame() const { return layer_->frame(); }
  virtual void setFrame(const Rect& frame);
  Rect bounds() const { return layer_->bounds(); }
  virtual void setBounds(const Rect& bounds);
  Point center() const { return layer_->position(); }
  void setCenter(Point center) { layer_->setPosition(center); }
  AffineTransform transform() const { return layer_->transform(); }
  void setTransform(const AffineTransform& transform) { layer_->setTransform(transform); }
  unsigned autoresizingMask() const { return autoresizingMask_; }
  void setAutoresizingMask(unsigned mask) { autoresizingMask_ = mask; }

  // Appearance.
  double alpha() const { return layer_->opacity(); }
  void setAlpha(double alpha) { layer_->setOpacity(alpha); }
  bool isHidden() const { return layer_->isHidden(); }
  virtual void setHidden(bool hidden);
  std::optional<Color> backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<Color> color);
  bool clipsToBounds() const { return layer_->masksToBounds(); }
  void setClipsToBounds(bool clips) { layer_->setMasksToBounds(clips); }
  // The own tint, else the superview's, else the platform's blue.
  Color tintColor() const;
  void setTintColor(std::optional<Color> color);
  virtual void tintColorDidChange() {}
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }

  // Interaction and accessibility.
  bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }
  const std::string& accessibilityIdentifier() const { return accessibilityIdentifier_; }
  void setAccessibilityIdentifier(std::string id) { accessibilityIdentifier_ = std::move(id); }
  const std::optional<std::string>& accessibilityLabel() const { return accessibilityLabel_; }
  void setAccessibilityLabel(std::optional<std::string> label) {
    accessibilityLabel_ = std::move(label);
  }
  bool isAccessibilityElement() const { return accessibilityElement_; }
  void setIsAccessibilityElement(bool value) { accessibilityElement_ = value; }
  const std::vector<MotionEffect>& motionEffects() const { return motionEffects_; }
  void setMotionEffects(std::vector<MotionEffect> effects) { motionEffects_ = std::move(effects); }

  // Hierarchy. Adding a view moves it out of its old superview first; adding a view to itself or
  // to one of its own subviews throws dz::Exception.
  View* superview() const { return superview_; }
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  Window* window() const;
  void addSubview(std::shared_ptr<View> view);
  void insertSubview(std::shared_ptr<View> view, size_t index);
  void insertSubviewBelow(std::shared_ptr<View> view, const View* sibling);
  void insertSubviewAbove(std::shared_ptr<View> view, const View* sibling);
  void removeFromSuperview();
  void bringSubviewToFront(const View* view);
  bool isDescendantOf(const View* view) const;
  View* viewWithTag(int tag);
  virtual void willMoveToSuperview(View* /*newSuperview*/) {}
  virtual void didMoveToSuperview() {}
  virtual void didMoveToWindow() {}
  // Called on the superview before `subview` leaves it.
  virtual void willRemoveSubview(View* /*subview*/) {}
  // The screen whose root view this is, if any.
  ViewController* viewController() const { return viewController_; }

  // Layout.
  void setNeedsLayout() { needsLayout_ = true; }
  bool needsLayout() const { return needsLayout_; }
  // Lays this view and then its subviews out where needed.
  void layoutIfNeeded();
  virtual void layoutSubviews() {}
  // The size the view would like within `size`; the current size unless a subclass knows better.
  virtual Size sizeThatFits(Size size) const;
  void sizeToFit();
  // A fixed height (or width) that stack views and table rows respect, as a constraint would.
  std::optional<double> fixedHeight() const { return fixedHeight_; }
  void setFixedHeight(std::optional<double> height) { fixedHeight_ = height; }
  std::optional<double> fixedWidth() const { return fixedWidth_; }
  void setFixedWidth(std::optional<double> width) { fixedWidth_ = width; }

  // Drawing: views that draw say so and draw their content in draw().
  void setNeedsDisplay() { layer_->setNeedsDisplay(); }
  virtual bool drawsContent() const { return false; }
  virtual void draw(GraphicsContext&, const Rect& /*bounds*/) {}

  // Coordinates between views of one tree (a null view means the root of this view's tree).
  Point convertPointTo(Point p, const View* view) const;
  Point convertPointFrom(Point p, const View* view) const;
  Rect convertRectTo(const Rect& r, const View* view) const;

  // Touches: the deepest visible, interactive view under `p` (in this view's coordinates).
  virtual bool pointInside(Point p) const { return bounds().contains(p); }
  virtual View* hitTest(Point p);
  // Handlers return whether they took the touch; by default it goes to the superview.
  virtual bool touchesBegan(const Touch& touch, const Event& event);
  virtual bool touchesEnded(const Touch& touch, const Event& event);

  // Editing: text inputs are first responders while they hold the keyboard.
  virtual bool isFirstResponder() const { return false; }
  virtual bool resignFirstResponder() { return true; }
  // Resigns the first responder within this view's tree; returns whether one resigned.
  bool endEditing(bool force);

  // A line of attributes for describeTree(): subclasses add theirs.
  virtual std::string describe() const;

  // Animation blocks. Changes made inside `animations` animate over `duration` after `delay`;
  // `completion` runs on the main queue when they all ended (finished = false when one was
  // replaced or removed first), or on the next turn when nothing animated.
  static void animate(double duration, double delay, unsigned options,
                      const std::function<void()>& animations,
                      std::function<void(bool finished)> completion = {});
  static void animate(double duration, const std::function<void()>& animations,
                      std::function<void(bool finished)> completion = {});
  // As animate(), on a damped spring.
  static void animateWithSpring(double duration, double delay, double dampingRatio,
                                double initialVelocity, unsigned options,
                                const std::function<void()>& animations,
                                std::function<void(bool finished)> completion = {});
  static void performWithoutAnimation(const std::function<void()>& changes);

  // LayerDelegate.
  bool drawsLayerContent() const override { return drawsContent(); }
  void drawLayer(Layer& layer, GraphicsContext& context) override;
  std::optional<std::shared_ptr<Animation>> actionForLayer(
      Layer& layer, std::string_view keyPath, const AnimationValue& oldModel,
      const AnimationValue& oldPresented) override;

 protected:
  // Moves subviews that resize with this view after its size changed from `old`.
  void resizeSubviews(Size old);

 private:
  friend class ViewController;
  void notifyMovedToWindow();
  Point toRoot(Point p) const;
  Point fromRoot(Point p) const;

  std::shared_ptr<Layer> layer_;
  View* superview_ = nullptr;
  std::vector<std::shared_ptr<View>> subviews_;
  ViewController* viewController_ = nullptr;
  std::optional<Color> backgroundColor_;
  std::optional<Color> tintColor_;
  unsigned autoresizingMask_ = 0;
  bool userInteractionEnabled_ = true;
  bool needsLayout_ = true;
  int tag_ = 0;
  std::string accessibilityIdentifier_;
  std::optional<std::string> accessibilityLabel_;
  bool accessibilityElement_ = false;
  std::vector<MotionEffect> motionEffects_;
  std::optional<double> fixedHeight_;
  std::optional<double> fixedWidth_;
};

using ViewPtr = std::shared_ptr<View>;

// An indented text dump of a view tree, one view a line, for tests and logs.
std::string describeTree(const View& root);

// Formats a number as tests read it: up to 4 decimals, no trailing zeros.
std::string formatNumber(double value);

}  // namespace dz::ui
