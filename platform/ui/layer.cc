#include "platform/ui/layer.h"

#include <algorithm>

#include "platform/dispatch_queue.h"
#include "platform/exception.h"
#include "platform/ui/clock.h"
#include "platform/ui/graphics_context.h"

namespace dz::ui {
namespace {

int& disabledDepth() {
  static int depth = 0;
  return depth;
}

// Keys a layer of its own animates when they change outside any view animation.
bool isImplicitlyAnimated(std::string_view key) {
  return key == "opacity" || key == "transform" || key == "backgroundColor" ||
         key == "strokeStart" || key == "strokeEnd" || key == "strokeColor" || key == "fillColor" ||
         key == "lineWidth" || key == "cornerRadius";
}

// Rebuilds a transform with another rotation or scale, keeping the rest.
AffineTransform withRotation(const AffineTransform& t, double angle) {
  AffineTransform rebuilt = AffineTransform::makeScale(t.scaleX(), t.scaleY())
                                .concat(AffineTransform::makeRotation(angle));
  rebuilt.tx = t.tx;
  rebuilt.ty = t.ty;
  return rebuilt;
}

AffineTransform withScale(const AffineTransform& t, double scale) {
  AffineTransform rebuilt =
      AffineTransform::makeScale(scale, scale).concat(AffineTransform::makeRotation(t.rotation()));
  rebuilt.tx = t.tx;
  rebuilt.ty = t.ty;
  return rebuilt;
}

template <class T>
bool assign(T& field, const AnimationValue& value) {
  const T* typed = std::get_if<T>(&value);
  if (!typed) return false;
  field = *typed;
  return true;
}

void applyAnimation(const Animation& animation, double local, double inherited,
                    LayerProperties& props) {
  if (auto* group = dynamic_cast<const AnimationGroup*>(&animation)) {
    std::optional<double> progress = group->progressAt(local, inherited);
    if (!progress) return;
    double cycle = group->effectiveDuration(inherited);
    // Children run on the group's own time within one cycle.
    double groupLocal = local < 0 ? 0 : std::fmod(local, cycle);
    if (local >= group->activeDuration(inherited)) groupLocal = cycle;
    for (const auto& child : group->animations) {
      applyAnimation(*child, groupLocal - child->beginDelay, cycle, props);
    }
    return;
  }
  auto* basic = dynamic_cast<const BasicAnimation*>(&animation);
  if (!basic) return;
  std::optional<double> progress = basic->progressAt(local, inherited);
  if (!progress) return;
  AnimationValue beneath = props.get(basic->keyPath);
  AnimationValue from = basic->fromValue.index() ? basic->fromValue : beneath;
  AnimationValue to = basic->toValue.index() ? basic->toValue : beneath;
  props.set(basic->keyPath, interpolate(from, to, *progress));
}

void checkKeyPaths(const Animation& animation) {
  if (auto* group = dynamic_cast<const AnimationGroup*>(&animation)) {
    for (const auto& child : group->animations) checkKeyPaths(*child);
  } else if (auto* basic = dynamic_cast<const BasicAnimation*>(&animation)) {
    if (!isAnimatableKeyPath(basic->keyPath)) {
      throw dz::Exception(kInvalidArgumentException,
                          "Layer cannot animate the key path \"" + basic->keyPath + "\"");
    }
  }
}

}  // namespace

Rect LayerProperties::frame() const {
  Point anchorOffset{bounds.size.width * anchorPoint.x, bounds.size.height * anchorPoint.y};
  Rect local = Rect::make(-anchorOffset.x, -anchorOffset.y, bounds.size.width, bounds.size.height);
  Rect moved = transform.isIdentity() ? local : transform.apply(local);
  return moved.offsetBy(position.x, position.y);
}

bool isAnimatableKeyPath(std::string_view keyPath) {
  return LayerProperties().get(keyPath).index() != 0;
}

AnimationValue LayerProperties::get(std::string_view key) const {
  if (key == "bounds") return bounds;
  if (key == "bounds.size") return bounds.size;
  if (key == "position") return position;
  if (key == "position.x") return position.x;
  if (key == "position.y") return position.y;
  if (key == "transform") return transform;
  if (key == "transform.rotation" || key == "transform.rotation.z") return transform.rotation();
  if (key == "transform.scale") return transform.scaleX();
  if (key == "opacity") return opacity;
  if (key == "backgroundColor") return backgroundColor;
  if (key == "cornerRadius") return cornerRadius;
  if (key == "borderWidth") return borderWidth;
  if (key == "borderColor") return borderColor;
  if (key == "shadowOpacity") return shadowOpacity;
  if (key == "strokeStart") return strokeStart;
  if (key == "strokeEnd") return strokeEnd;
  if (key == "lineWidth") return lineWidth;
  if (key == "strokeColor") return strokeColor;
  if (key == "fillColor") return fillColor;
  return {};
}

bool LayerProperties::set(std::string_view key, const AnimationValue& value) {
  if (key == "bounds") return assign(bounds, value);
  if (key == "bounds.size") return assign(bounds.size, value);
  if (key == "position") return assign(position, value);
  if (key == "position.x") return assign(position.x, value);
  if (key == "position.y") return assign(position.y, value);
  if (key == "transform") return assign(transform, value);
  double number = 0;
  if (key == "transform.rotation" || key == "transform.rotation.z") {
    if (!assign(number, value)) return false;
    transform = withRotation(transform, number);
    return true;
  }
  if (key == "transform.scale") {
    if (!assign(number, value)) return false;
    transform = withScale(transform, number);
    return true;
  }
  if (key == "opacity") return assign(opacity, value);
  if (key == "backgroundColor") return assign(backgroundColor, value);
  if (key == "cornerRadius") return assign(cornerRadius, value);
  if (key == "borderWidth") return assign(borderWidth, value);
  if (key == "borderColor") return assign(borderColor, value);
  if (key == "shadowOpacity") return assign(shadowOpacity, value);
  if (key == "strokeStart") return assign(strokeStart, value);
  if (key == "strokeEnd") return assign(strokeEnd, value);
  if (key == "lineWidth") return assign(lineWidth, value);
  if (key == "strokeColor") return assign(strokeColor, value);
  if (key == "fillColor") return assign(fillColor, value);
  return false;
}

bool Transaction::disableActions() { return disabledDepth() > 0; }
double Transaction::animationDuration() { return kDefaultAnimationDuration; }
Transaction::DisableActions::DisableActions() { ++disabledDepth(); }
Transaction::DisableActions::~DisableActions() { --disabledDepth(); }

std::shared_ptr<Layer> Layer::create() { return std::shared_ptr<Layer>(new Layer()); }

Layer::~Layer() {
  for (auto& sublayer : sublayers_) sublayer->superlayer_ = nullptr;
  for (auto& attached : animations_) detach(attached);
}

void Layer::notifyStopped(const std::shared_ptr<Animation>& animation, bool finished) {
  if (!animation->didStop) return;
  // Never inside the caller's change: the stop is reported on a later turn of the main queue.
  platform::DispatchQueue::main()->async([animation, finished] { animation->didStop(finished); });
}

void Layer::change(std::string_view key, const AnimationValue& value) {
  AnimationValue oldModel = model_.get(key);
  if (oldModel == value) return;
  AnimationValue oldPresented = animations_.empty() ? oldModel : presentation().get(key);
  model_.set(key, value);
  std::optional<std::shared_ptr<Animation>> action;
  if (delegate_) action = delegate_->actionForLayer(*this, key, oldModel, oldPresented);
  if (!action) {
    action = nullptr;
    if (superlayer_ && !Transaction::disableActions() && isImplicitlyAnimated(key)) {
      auto implicit = std::make_shared<BasicAnimation>(std::string(key));
      implicit->fromValue = oldPresented;
      implicit->duration = Transaction::animationDuration();
      implicit->timingFunction = TimingFunction::Default;
      action = implicit;
    }
  }
  if (!*action) return;
  if (auto* basic = dynamic_cast<BasicAnimation*>(action->get())) {
    basic->keyPath = std::string(key);
    basic->toValue = value;
  }
  addAnimation(**action, std::string(key));
}

void Layer::setValue(std::string_view keyPath, const AnimationValue& value) {
  if (!isAnimatableKeyPath(keyPath)) {
    throw dz::Exception(kInvalidArgumentException,
                        "Layer has no value for the key path \"" + std::string(keyPath) + "\"");
  }
  change(keyPath, value);
}

void Layer::setBounds(const Rect& bounds) {
  bool resized = bounds.size != model_.bounds.size;
  change("bounds", bounds);
  if (resized && needsDisplayOnBoundsChange_) setNeedsDisplay();
}
void Layer::setPosition(Point position) { change("position", position); }
void Layer::setTransform(const AffineTransform& transform) { change("transform", transform); }
void Layer::setOpacity(double opacity) { change("opacity", std::clamp(opacity, 0.0, 1.0)); }
void Layer::setBackgroundColor(Color color) { change("backgroundColor", color); }
void Layer::setCornerRadius(double radius) { change("cornerRadius", radius); }
void Layer::setBorderWidth(double width) { change("borderWidth", width); }
void Layer::setBorderColor(Color color) { change("borderColor", color); }

void Layer::setShadow(Color color, Size offset, double radius, double opacity) {
  model_.shadowColor = color;
  model_.shadowOffset = offset;
  model_.shadowRadius = radius;
  change("shadowOpacity", opacity);
}

void Layer::setFrame(const Rect& frame) {
  Rect bounds = model_.bounds;
  bounds.size = {frame.width(), frame.height()};
  setBounds(bounds);
  setPosition({frame.minX() + model_.anchorPoint.x * frame.width(),
               frame.minY() + model_.anchorPoint.y * frame.height()});
}

void Layer::addSublayer(std::shared_ptr<Layer> layer) {
  if (!layer || layer.get() == this) return;
  layer->removeFromSuperlayer();
  layer->superlayer_ = this;
  sublayers_.push_back(std::move(layer));
}

void Layer::insertSublayer(std::shared_ptr<Layer> layer, size_t index) {
  if (!layer || layer.get() == this) return;
  // Removing first may shift the index when the layer was already one of ours.
  if (layer->superlayer_ == this) {
    auto current = std::find(sublayers_.begin(), sublayers_.end(), layer);
    if (current - sublayers_.begin() < static_cast<ptrdiff_t>(index) && index > 0) --index;
  }
  layer->removeFromSuperlayer();
  index = std::min(index, sublayers_.size());
  layer->superlayer_ = this;
  sublayers_.insert(sublayers_.begin() + static_cast<ptrdiff_t>(index), std::move(layer));
}

void Layer::insertSublayerBelow(std::shared_ptr<Layer> layer, const Layer* sibling) {
  auto found = std::find_if(sublayers_.begin(), sublayers_.end(),
                            [&](const auto& l) { return l.get() == sibling; });
  insertSublayer(std::move(layer), found == sublayers_.end() ? 0 : found - sublayers_.begin());
}

void Layer::insertSublayerAbove(std::shared_ptr<Layer> layer, const Layer* sibling) {
  auto found = std::find_if(sublayers_.begin(), sublayers_.end(),
                            [&](const auto& l) { return l.get() == sibling; });
  size_t index = found == sublayers_.end() ? sublayers_.size() : found - sublayers_.begin() + 1;
  insertSublayer(std::move(layer), index);
}

void Layer::removeFromSuperlayer() {
  Layer* parent = superlayer_;
  if (!parent) return;
  superlayer_ = nullptr;
  auto found = std::find_if(parent->sublayers_.begin(), parent->sublayers_.end(),
                            [&](const auto& l) { return l.get() == this; });
  if (found == parent->sublayers_.end()) return;
  std::shared_ptr<Layer> keep = std::move(*found);  // may be the last owner: drop it after erase
  parent->sublayers_.erase(found);
}

Point Layer::convertToSuperlayer(Point p) const {
  const Rect& b = model_.bounds;
  Point local{p.x - b.origin.x - model_.anchorPoint.x * b.size.width,
              p.y - b.origin.y - model_.anchorPoint.y * b.size.height};
  Point moved = model_.transform.apply(local);
  return {moved.x + model_.position.x, moved.y + model_.position.y};
}

Point Layer::convertFromSuperlayer(Point p) const {
  const Rect& b = model_.bounds;
  Point local =
      model_.transform.inverted().apply(Point{p.x - model_.position.x, p.y - model_.position.y});
  return {local.x + b.origin.x + model_.anchorPoint.x * b.size.width,
          local.y + b.origin.y + model_.anchorPoint.y * b.size.height};
}

void Layer::addAnimation(const Animation& animation, std::string key) {
  checkKeyPaths(animation);
  if (key.empty()) key = "animation-" + std::to_string(nextSerial_);
  removeAnimation(key);
  Attached attached{std::move(key), animation.copy(), now(), nullptr, nextSerial_++};
  double ends = attached.animation->beginDelay + attached.animation->activeDuration();
  if (std::isfinite(ends)) {
    std::weak_ptr<Layer> weak = weak_from_this();
    uint64_t serial = attached.serial;
    attached.endTimer = after(ends, [weak, serial] {
      if (auto layer = weak.lock()) layer->animationEnded(serial);
    });
  }
  animations_.push_back(std::move(attached));
}

void Layer::animationEnded(uint64_t serial) {
  auto found = std::find_if(animations_.begin(), animations_.end(),
                            [&](const Attached& a) { return a.serial == serial; });
  if (found == animations_.end()) return;
  std::shared_ptr<Animation> animation = found->animation;
  found->stopped = true;
  if (animation->removedOnCompletion) animations_.erase(found);
  if (animation->didStop) animation->didStop(true);
}

void Layer::detach(Attached& attached) {
  if (attached.endTimer) attached.endTimer->cancel();
  if (!attached.stopped) notifyStopped(attached.animation, false);
}

void Layer::removeAnimation(std::string_view key) {
  auto found = std::find_if(animations_.begin(), animations_.end(),
                            [&](const Attached& a) { return a.key == key; });
  if (found == animations_.end()) return;
  Attached removed = std::move(*found);
  animations_.erase(found);
  detach(removed);
}

void Layer::removeAllAnimations() {
  std::vector<Attached> removed;
  removed.swap(animations_);
  for (auto& attached : removed) detach(attached);
}

std::shared_ptr<const Animation> Layer::animationForKey(std::string_view key) const {
  for (const auto& attached : animations_) {
    if (attached.key == key) return attached.animation;
  }
  return nullptr;
}

std::vector<std::string> Layer::animationKeys() const {
  std::vector<std::string> keys;
  for (const auto& attached : animations_) keys.push_back(attached.key);
  return keys;
}

LayerProperties Layer::presentation() const {
  LayerProperties props = model_;
  if (animations_.empty()) return props;
  TimePoint time = now();
  for (const auto& attached : animations_) {
    double local = toSeconds(time - attached.begin) - attached.animation->beginDelay;
    applyAnimation(*attached.animation, local, kDefaultAnimationDuration, props);
  }
  return props;
}

void Layer::drawInContext(GraphicsContext& context) {
  if (delegate_) delegate_->drawLayer(*this, context);
}

void Layer::setBacking(std::shared_ptr<Backing> backing) {
  backing_ = std::move(backing);
  needsDisplay_ = false;
  ++displayCount_;
}

std::shared_ptr<ShapeLayer> ShapeLayer::create() {
  return std::shared_ptr<ShapeLayer>(new ShapeLayer());
}

void ShapeLayer::renderLive(GraphicsContext& context, const LayerProperties& presented) const {
  if (path_.isEmpty()) return;
  if (!presented.fillColor.isClear()) context.fill(path_, presented.fillColor);
  if (!presented.strokeColor.isClear() && presented.lineWidth > 0) {
    context.stroke(path_.trimmed(presented.strokeStart, presented.strokeEnd), presented.strokeColor,
                   presented.lineWidth, lineCap_, lineJoin_);
  }
}

}  // namespace dz::ui
