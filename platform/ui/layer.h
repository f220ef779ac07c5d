// Layer: a node of the drawing tree. It holds the model values of its geometry and appearance
// (set at once) and its attached animations, from which presentation() computes what is on
// screen at the UI clock's time. A view's layer asks its view what a change should animate; a
// layer of its own animates changes of a few keys implicitly unless Transaction disables that.
// Layers draw their own content once into a cache, again after setNeedsDisplay(). Owned by
// std::shared_ptr (make them with create()); the superlayer and the delegate are back pointers
// that the owner clears. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/scheduler.h"
#include "platform/ui/animation.h"
#include "platform/ui/image.h"
#include "platform/ui/path.h"

namespace dz::ui {

class GraphicsContext;
class Layer;

// The animatable values of a layer (the shape values are used by ShapeLayer only).
struct LayerProperties {
  Rect bounds;
  Point position;
  Point anchorPoint{0.5, 0.5};
  AffineTransform transform;
  double opacity = 1;
  Color backgroundColor;
  double cornerRadius = 0;
  double borderWidth = 0;
  Color borderColor = Color::black();
  double shadowOpacity = 0;
  Color shadowColor = Color::black();
  Size shadowOffset{0, -3};
  double shadowRadius = 3;
  double strokeStart = 0;
  double strokeEnd = 1;
  double lineWidth = 1;
  Color strokeColor;
  Color fillColor = Color::black();

  // The rectangle the layer covers in its superlayer (the bounding box when transformed).
  Rect frame() const;
  // The value of a key path ("opacity", "transform.rotation", "strokeEnd", ...); none for a key
  // path that is not animatable.
  AnimationValue get(std::string_view keyPath) const;
  // Returns false when the key path is not animatable or the value's kind does not fit.
  bool set(std::string_view keyPath, const AnimationValue& value);
};

// Key paths a layer can animate.
bool isAnimatableKeyPath(std::string_view keyPath);

class LayerDelegate {
 public:
  virtual ~LayerDelegate() = default;
  // Whether drawLayer() draws anything (the layer then keeps a content cache).
  virtual bool drawsLayerContent() const { return false; }
  virtual void drawLayer(Layer&, GraphicsContext&) {}
  // The animation for a change of `keyPath`, with its from value filled in: none to leave the
  // decision to the layer, a null pointer for no animation.
  virtual std::optional<std::shared_ptr<Animation>> actionForLayer(
      Layer&, std::string_view keyPath, const AnimationValue& oldModel,
      const AnimationValue& oldPresented) = 0;
};

// Groups changes of layers: within a scope of DisableActions, layers change without implicit
// animation.
class Transaction {
 public:
  static bool disableActions();
  static double animationDuration();  // of implicit animations
  class DisableActions {
   public:
    DisableActions();
    ~DisableActions();
    DisableActions(const DisableActions&) = delete;
    DisableActions& operator=(const DisableActions&) = delete;
  };
};

class Layer : public std::enable_shared_from_this<Layer> {
 public:
  static std::shared_ptr<Layer> create();
  virtual ~Layer();
  Layer(const Layer&) = delete;
  Layer& operator=(const Layer&) = delete;

  virtual const char* typeName() const { return "Layer"; }

  // Geometry and appearance (model values).
  const LayerProperties& model() const { return model_; }
  Rect bounds() const { return model_.bounds; }
  void setBounds(const Rect& bounds);
  Point position() const { return model_.position; }
  void setPosition(Point position);
  Point anchorPoint() const { return model_.anchorPoint; }
  void setAnchorPoint(Point anchor) { model_.anchorPoint = anchor; }
  Rect frame() const { return model_.frame(); }
  void setFrame(const Rect& frame);
  AffineTransform transform() const { return model_.transform; }
  void setTransform(const AffineTransform& transform);
  double opacity() const { return model_.opacity; }
  void setOpacity(double opacity);
  Color backgroundColor() const { return model_.backgroundColor; }
  void setBackgroundColor(Color color);
  double cornerRadius() const { return model_.cornerRadius; }
  void setCornerRadius(double radius);
  double borderWidth() const { return model_.borderWidth; }
  void setBorderWidth(double width);
  Color borderColor() const { return model_.borderColor; }
  void setBorderColor(Color color);
  void setShadow(Color color, Size offset, double radius, double opacity);
  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden) { hidden_ = hidden; }
  bool masksToBounds() const { return masksToBounds_; }
  void setMasksToBounds(bool masks) { masksToBounds_ = masks; }
  ImagePtr contents() const { return contents_; }
  void setContents(ImagePtr image) { contents_ = std::move(image); }
  double contentsScale() const { return contentsScale_; }
  void setContentsScale(double scale) { contentsScale_ = scale; }
  // Points of blur applied to what lies behind the layer, within its bounds, before the layer
  // draws (the backdrop of a blur effect); 0 for none.
  double backdropBlurRadius() const { return backdropBlurRadius_; }
  void setBackdropBlurRadius(double radius) { backdropBlurRadius_ = radius; }
  // A layer whose alpha masks this one, in this layer's coordinates.
  std::shared_ptr<Layer> mask() const { return mask_; }
  void setMask(std::shared_ptr<Layer> mask) { mask_ = std::move(mask); }
  // Goes through the same change path as the setters (actions included).
  void setValue(std::string_view keyPath, const AnimationValue& value);

  // Tree.
  Layer* superlayer() const { return superlayer_; }
  const std::vector<std::shared_ptr<Layer>>& sublayers() const { return sublayers_; }
  // Each moves `layer` out of its current superlayer first. An index past the end appends.
  void addSublayer(std::shared_ptr<Layer> layer);
  void insertSublayer(std::shared_ptr<Layer> layer, size_t index);
  void insertSublayerBelow(std::shared_ptr<Layer> layer, const Layer* sibling);
  void insertSublayerAbove(std::shared_ptr<Layer> layer, const Layer* sibling);
  void removeFromSuperlayer();

  // Points between this layer's and its superlayer's coordinates (model values).
  Point convertToSuperlayer(Point p) const;
  Point convertFromSuperlayer(Point p) const;

  // Animations. addAnimation() copies `animation`, replacing any under the same key (an empty key
  // makes a unique one). Throws dz::Exception for a key path that cannot be animated.
  void addAnimation(const Animation& animation, std::string key);
  void removeAnimation(std::string_view key);
  void removeAllAnimations();
  std::shared_ptr<const Animation> animationForKey(std::string_view key) const;
  std::vector<std::string> animationKeys() const;
  // The values on screen now: the model with every attached animation applied.
  LayerProperties presentation() const;

  // Content drawing.
  LayerDelegate* delegate() const { return delegate_; }
  void setDelegate(LayerDelegate* delegate) { delegate_ = delegate; }
  void setNeedsDisplay() { needsDisplay_ = true; }
  bool needsDisplay() const { return needsDisplay_; }
  void setNeedsDisplayOnBoundsChange(bool value) { needsDisplayOnBoundsChange_ = value; }
  // How often the content cache has been drawn.
  uint64_t displayCount() const { return displayCount_; }
  virtual bool drawsContent() const { return delegate_ && delegate_->drawsLayerContent(); }
  // Draws the content into a context of the bounds' size (origin at the bounds' origin).
  virtual void drawInContext(GraphicsContext& context);
  // Content drawn afresh at every render from the presented values (shape layers).
  virtual void renderLive(GraphicsContext&, const LayerProperties&) const {}

  // The renderer's cache of the drawn content.
  struct Backing;
  std::shared_ptr<Backing> backing() const { return backing_; }
  void setBacking(std::shared_ptr<Backing> backing);

 protected:
  Layer() = default;
  // Sets a model value, starting the animation the change calls for.
  void change(std::string_view keyPath, const AnimationValue& value);

 private:
  struct Attached {
    std::string key;
    std::shared_ptr<Animation> animation;
    platform::TimePoint begin;
    platform::CancellablePtr endTimer;
    uint64_t serial = 0;
    bool stopped = false;  // its didStop has been called (an animation kept after its end)
  };
  void detach(Attached& attached);
  void animationEnded(uint64_t serial);
  static void notifyStopped(const std::shared_ptr<Animation>& animation, bool finished);

  LayerProperties model_;
  bool hidden_ = false;
  bool masksToBounds_ = false;
  ImagePtr contents_;
  double contentsScale_ = 1;
  double backdropBlurRadius_ = 0;
  std::shared_ptr<Layer> mask_;
  Layer* superlayer_ = nullptr;
  std::vector<std::shared_ptr<Layer>> sublayers_;
  std::vector<Attached> animations_;
  uint64_t nextSerial_ = 1;
  LayerDelegate* delegate_ = nullptr;
  bool needsDisplay_ = true;
  bool needsDisplayOnBoundsChange_ = false;
  uint64_t displayCount_ = 0;
  std::shared_ptr<Backing> backing_;
  friend class Renderer;
};

enum class LineCap { Butt, Round, Square };
enum class LineJoin { Miter, Round, Bevel };

// A layer that strokes and fills a path; the stroke runs from strokeStart to strokeEnd of the
// path's length.
class ShapeLayer : public Layer {
 public:
  static std::shared_ptr<ShapeLayer> create();
  const char* typeName() const override { return "ShapeLayer"; }

  const Path& path() const { return path_; }
  void setPath(Path path) { path_ = std::move(path); }
  Color strokeColor() const { return model().strokeColor; }
  void setStrokeColor(Color color) { change("strokeColor", color); }
  Color fillColor() const { return model().fillColor; }
  void setFillColor(Color color) { change("fillColor", color); }
  double lineWidth() const { return model().lineWidth; }
  void setLineWidth(double width) { change("lineWidth", width); }
  double strokeStart() const { return model().strokeStart; }
  void setStrokeStart(double value) { change("strokeStart", value); }
  double strokeEnd() const { return model().strokeEnd; }
  void setStrokeEnd(double value) { change("strokeEnd", value); }
  LineCap lineCap() const { return lineCap_; }
  void setLineCap(LineCap cap) { lineCap_ = cap; }
  LineJoin lineJoin() const { return lineJoin_; }
  void setLineJoin(LineJoin join) { lineJoin_ = join; }

  void renderLive(GraphicsContext& context, const LayerProperties& presented) const override;

 protected:
  ShapeLayer() = default;

 private:
  Path path_;
  LineCap lineCap_ = LineCap::Butt;
  LineJoin lineJoin_ = LineJoin::Miter;
};

}  // namespace dz::ui
