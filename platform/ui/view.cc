#include "platform/ui/view.h"

#include <algorithm>
#include <cstdio>

#include "platform/dispatch_queue.h"
#include "platform/exception.h"
#include "platform/ui/window.h"

namespace dz::ui {
namespace {

// The keys a view's changes animate inside an animation block.
bool isViewAnimatable(std::string_view key) {
  return key == "bounds" || key == "position" || key == "transform" || key == "opacity" ||
         key == "backgroundColor";
}

// Waits for every animation a block made and then calls its completion once.
struct BlockTracker {
  int pending = 0;
  bool finished = true;
  bool closed = false;
  std::function<void(bool)> completion;

  void stopped(bool done) {
    finished = finished && done;
    if (--pending == 0 && closed) complete();
  }
  void complete() {
    if (!completion) return;
    auto callback = std::move(completion);
    completion = nullptr;
    callback(finished);
  }
};

struct BlockContext {
  bool animating = false;
  double duration = 0;
  double delay = 0;
  unsigned options = 0;
  double damping = 0;
  double velocity = 0;
  std::shared_ptr<BlockTracker> tracker;
};

std::vector<BlockContext>& blockStack() {
  static std::vector<BlockContext> stack;
  return stack;
}

TimingFunction curveOf(unsigned options) {
  switch ((options >> 16) & 3) {
    case 1:
      return TimingFunction::EaseIn;
    case 2:
      return TimingFunction::EaseOut;
    case 3:
      return TimingFunction::Linear;
    default:
      return TimingFunction::EaseInEaseOut;
  }
}

void runBlock(BlockContext context, const std::function<void()>& animations,
              std::function<void(bool)> completion) {
  auto tracker = std::make_shared<BlockTracker>();
  tracker->completion = std::move(completion);
  context.tracker = tracker;
  blockStack().push_back(context);
  try {
    if (animations) animations();
  } catch (...) {
    blockStack().pop_back();
    throw;
  }
  blockStack().pop_back();
  tracker->closed = true;
  if (tracker->pending == 0 && tracker->completion) {
    // Nothing animated: the completion still comes after the caller's turn.
    platform::DispatchQueue::main()->async([tracker] { tracker->complete(); });
  }
}

}  // namespace

Point Touch::locationIn(const View& view) const {
  return view.convertPointFrom(windowLocation, window);
}

std::string formatNumber(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", value);
  std::string out = text;
  while (!out.empty() && out.back() == '0') out.pop_back();
  if (!out.empty() && out.back() == '.') out.pop_back();
  if (out == "-0") out = "0";
  return out;
}

View::View(const Rect& frame) : layer_(Layer::create()) {
  layer_->setDelegate(this);
  layer_->setFrame(frame);
}

View::~View() {
  layer_->setDelegate(nullptr);
  for (auto& subview : subviews_) subview->superview_ = nullptr;
}

void View::setFrame(const Rect& frame) {
  Size old = bounds().size;
  layer_->setFrame(frame);
  if (old != bounds().size) {
    setNeedsLayout();
    resizeSubviews(old);
  }
}

void View::setBounds(const Rect& bounds) {
  Size old = this->bounds().size;
  layer_->setBounds(bounds);
  if (old != bounds.size) {
    setNeedsLayout();
    resizeSubviews(old);
  }
}

void View::resizeSubviews(Size old) {
  Size now = bounds().size;
  double dw = now.width - old.width, dh = now.height - old.height;
  for (auto& subview : subviews_) {
    unsigned mask = subview->autoresizingMask_;
    if (!mask) continue;
    Rect frame = subview->frame();
    // The change is shared equally by the flexible parts of each axis.
    auto share = [](double delta, bool before, bool size, bool after, double& origin,
                    double& length) {
      int parts = before + size + after;
      if (!parts) return;
      double piece = delta / parts;
      if (before) origin += piece;
      if (size) length += piece;
    };
    share(dw, mask & kFlexibleLeftMargin, mask & kFlexibleWidth, mask & kFlexibleRightMargin,
          frame.origin.x, frame.size.width);
    share(dh, mask & kFlexibleTopMargin, mask & kFlexibleHeight, mask & kFlexibleBottomMargin,
          frame.origin.y, frame.size.height);
    subview->setFrame(frame);
  }
}

void View::setHidden(bool hidden) {
  if (hidden == isHidden()) return;
  layer_->setHidden(hidden);
  if (superview_) superview_->setNeedsLayout();
}

void View::setBackgroundColor(std::optional<Color> color) {
  backgroundColor_ = color;
  layer_->setBackgroundColor(color.value_or(Color::clear()));
}

Color View::tintColor() const {
  if (tintColor_) return *tintColor_;
  if (superview_) return superview_->tintColor();
  return Color::rgb(0, 122 / 255.0, 1);
}

void View::setTintColor(std::optional<Color> color) {
  tintColor_ = color;
  std::function<void(View&)> notify = [&](View& view) {
    view.tintColorDidChange();
    for (auto& subview : view.subviews_) {
      if (!subview->tintColor_) notify(*subview);
    }
  };
  notify(*this);
}

Window* View::window() const {
  const View* view = this;
  while (view->superview_) view = view->superview_;
  return dynamic_cast<Window*>(const_cast<View*>(view));
}

void View::addSubview(std::shared_ptr<View> view) {
  insertSubview(std::move(view), subviews_.size() + 1);
}

void View::insertSubview(std::shared_ptr<View> view, size_t index) {
  if (!view) return;
  if (view.get() == this || isDescendantOf(view.get())) {
    throw dz::Exception(kInvalidArgumentException, "A view cannot become its own subview");
  }
  Window* oldWindow = view->window();
  if (view->superview_ == this) {
    auto current = std::find(subviews_.begin(), subviews_.end(), view);
    if (current - subviews_.begin() < static_cast<ptrdiff_t>(index) && index > 0) --index;
  }
  if (view->superview_ != this) view->willMoveToSuperview(this);
  if (view->superview_) {
    if (view->superview_ != this) view->superview_->willRemoveSubview(view.get());
    auto& siblings = view->superview_->subviews_;
    siblings.erase(std::find(siblings.begin(), siblings.end(), view));
  }
  index = std::min(index, subviews_.size());
  // The layer goes above the layer of the view below it, so both orders agree.
  if (index == 0) {
    layer_->insertSublayer(view->layer_, 0);
  } else {
    auto below = subviews_[index - 1]->layer_;
    layer_->insertSublayerAbove(view->layer_, below.get());
  }
  view->superview_ = this;
  subviews_.insert(subviews_.begin() + static_cast<ptrdiff_t>(index), view);
  view->didMoveToSuperview();
  if (view->window() != oldWindow) view->notifyMovedToWindow();
  setNeedsLayout();
}

void View::insertSubviewBelow(std::shared_ptr<View> view, const View* sibling) {
  auto found = std::find_if(subviews_.begin(), subviews_.end(),
                            [&](const ViewPtr& v) { return v.get() == sibling; });
  insertSubview(std::move(view), found == subviews_.end() ? 0 : found - subviews_.begin());
}

void View::insertSubviewAbove(std::shared_ptr<View> view, const View* sibling) {
  auto found = std::find_if(subviews_.begin(), subviews_.end(),
                            [&](const ViewPtr& v) { return v.get() == sibling; });
  insertSubview(std::move(view),
                found == subviews_.end() ? subviews_.size() : found - subviews_.begin() + 1);
}

void View::removeFromSuperview() {
  View* parent = superview_;
  if (!parent) return;
  Window* oldWindow = window();
  willMoveToSuperview(nullptr);
  parent->willRemoveSubview(this);
  auto found = std::find_if(parent->subviews_.begin(), parent->subviews_.end(),
                            [&](const ViewPtr& v) { return v.get() == this; });
  // The parent's reference may be the last one: keep the view alive to the end of this call.
  ViewPtr keep = std::move(*found);
  parent->subviews_.erase(found);
  superview_ = nullptr;
  layer_->removeFromSuperlayer();
  didMoveToSuperview();
  if (oldWindow) notifyMovedToWindow();
}

void View::notifyMovedToWindow() {
  if (!window()) endEditing(true);
  didMoveToWindow();
  for (auto& subview : subviews_) subview->notifyMovedToWindow();
}

void View::bringSubviewToFront(const View* view) {
  auto found = std::find_if(subviews_.begin(), subviews_.end(),
                            [&](const ViewPtr& v) { return v.get() == view; });
  if (found == subviews_.end()) return;
  ViewPtr moved = *found;
  subviews_.erase(found);
  subviews_.push_back(moved);
  layer_->addSublayer(moved->layer_);
}

bool View::isDescendantOf(const View* view) const {
  for (const View* v = this; v; v = v->superview_) {
    if (v == view) return true;
  }
  return false;
}

View* View::viewWithTag(int tag) {
  if (tag_ == tag) return this;
  for (auto& subview : subviews_) {
    if (View* found = subview->viewWithTag(tag)) return found;
  }
  return nullptr;
}

void View::layoutIfNeeded() {
  if (needsLayout_) {
    needsLayout_ = false;
    layoutSubviews();
  }
  // Copied: layout may add or remove subviews.
  std::vector<ViewPtr> children = subviews_;
  for (auto& subview : children) subview->layoutIfNeeded();
}

Size View::sizeThatFits(Size) const { return bounds().size; }

void View::sizeToFit() {
  Size size = sizeThatFits(bounds().size);
  Rect f = frame();
  setFrame(Rect::make(f.minX(), f.minY(), size.width, size.height));
}

Point View::toRoot(Point p) const {
  for (const View* v = this; v->superview_; v = v->superview_) {
    p = v->layer_->convertToSuperlayer(p);
  }
  return p;
}

Point View::fromRoot(Point p) const {
  std::vector<const View*> chain;
  for (const View* v = this; v->superview_; v = v->superview_) chain.push_back(v);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    p = (*it)->layer_->convertFromSuperlayer(p);
  }
  return p;
}

Point View::convertPointTo(Point p, const View* view) const {
  if (view == this) return p;
  Point root = toRoot(p);
  return view ? view->fromRoot(root) : root;
}

Point View::convertPointFrom(Point p, const View* view) const {
  if (view == this) return p;
  return fromRoot(view ? view->toRoot(p) : p);
}

Rect View::convertRectTo(const Rect& r, const View* view) const {
  Point a = convertPointTo({r.minX(), r.minY()}, view);
  Point b = convertPointTo({r.maxX(), r.maxY()}, view);
  return Rect::make(std::min(a.x, b.x), std::min(a.y, b.y), std::fabs(b.x - a.x),
                    std::fabs(b.y - a.y));
}

View* View::hitTest(Point p) {
  if (isHidden() || !userInteractionEnabled_ || alpha() < 0.01 || !pointInside(p)) return nullptr;
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    View* subview = it->get();
    if (View* hit = subview->hitTest(subview->layer_->convertFromSuperlayer(p))) return hit;
  }
  return this;
}

bool View::touchesBegan(const Touch& touch, const Event& event) {
  return superview_ && superview_->touchesBegan(touch, event);
}

bool View::touchesEnded(const Touch& touch, const Event& event) {
  return superview_ && superview_->touchesEnded(touch, event);
}

bool View::endEditing(bool force) {
  if (isFirstResponder()) return resignFirstResponder() || force;
  bool any = false;
  std::vector<ViewPtr> children = subviews_;
  for (auto& subview : children) any = subview->endEditing(force) || any;
  return any;
}

std::string View::describe() const {
  Rect f = frame();
  std::string line = std::string(className()) + " (" + formatNumber(f.minX()) + " " +
                     formatNumber(f.minY()) + "; " + formatNumber(f.width()) + " " +
                     formatNumber(f.height()) + ")";
  if (isHidden()) line += " hidden";
  if (alpha() != 1) line += " alpha=" + formatNumber(alpha());
  if (!transform().isIdentity()) {
    line += " transform=(" + formatNumber(transform().a) + " " + formatNumber(transform().b) + " " +
            formatNumber(transform().c) + " " + formatNumber(transform().d) + ")";
  }
  if (!userInteractionEnabled_) line += " noninteractive";
  if (!accessibilityIdentifier_.empty()) line += " id=" + accessibilityIdentifier_;
  return line;
}

std::string describeTree(const View& root) {
  std::string out;
  std::function<void(const View&, int)> walk = [&](const View& view, int depth) {
    out += std::string(static_cast<size_t>(depth) * 2, ' ') + view.describe() + "\n";
    for (const auto& subview : view.subviews()) walk(*subview, depth + 1);
  };
  walk(root, 0);
  return out;
}

void View::drawLayer(Layer&, GraphicsContext& context) { draw(context, bounds()); }

std::optional<std::shared_ptr<Animation>> View::actionForLayer(Layer&, std::string_view key,
                                                               const AnimationValue& oldModel,
                                                               const AnimationValue& oldPresented) {
  auto& stack = blockStack();
  if (stack.empty() || !stack.back().animating || !isViewAnimatable(key)) {
    return std::shared_ptr<Animation>();  // a view's own layer changes at once
  }
  const BlockContext& block = stack.back();
  auto animation = std::make_shared<BasicAnimation>(std::string(key));
  animation->fromValue = block.options & kAnimationBeginFromCurrentState ? oldPresented : oldModel;
  animation->duration = block.duration;
  animation->beginDelay = block.delay;
  animation->fillMode = FillMode::Backwards;
  animation->timingFunction = curveOf(block.options);
  animation->springDamping = block.damping;
  animation->springVelocity = block.velocity;
  if (block.options & kAnimationRepeat) animation->repeatCount = kRepeatForever;
  animation->autoreverses = block.options & kAnimationAutoreverse;
  std::shared_ptr<BlockTracker> tracker = block.tracker;
  ++tracker->pending;
  animation->didStop = [tracker](bool finished) { tracker->stopped(finished); };
  return animation;
}

void View::animate(double duration, double delay, unsigned options,
                   const std::function<void()>& animations, std::function<void(bool)> completion) {
  BlockContext context;
  context.animating = duration > 0;
  context.duration = duration;
  context.delay = delay;
  context.options = options;
  runBlock(context, animations, std::move(completion));
}

void View::animate(double duration, const std::function<void()>& animations,
                   std::function<void(bool)> completion) {
  animate(duration, 0, 0, animations, std::move(completion));
}

void View::animateWithSpring(double duration, double delay, double dampingRatio,
                             double initialVelocity, unsigned options,
                             const std::function<void()>& animations,
                             std::function<void(bool)> completion) {
  BlockContext context;
  context.animating = duration > 0;
  context.duration = duration;
  context.delay = delay;
  context.options = options;
  context.damping = dampingRatio > 0 ? dampingRatio : 1;
  context.velocity = initialVelocity;
  runBlock(context, animations, std::move(completion));
}

void View::performWithoutAnimation(const std::function<void()>& changes) {
  blockStack().push_back(BlockContext{});
  try {
    if (changes) changes();
  } catch (...) {
    blockStack().pop_back();
    throw;
  }
  blockStack().pop_back();
}

}  // namespace dz::ui
