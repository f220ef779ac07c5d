#include "platform/ui/control.h"

#include <algorithm>
#include <cmath>

#include "platform/ui/graphics_context.h"

namespace dz::ui {
namespace {

Font segmentFont() { return Font::system(13); }

}  // namespace

Control::ActionToken Control::addTarget(unsigned events, Action action) {
  if (!action || !events) return 0;
  targets_.push_back(Target{nextToken_, events, std::move(action)});
  return nextToken_++;
}

void Control::removeTarget(ActionToken token) {
  std::erase_if(targets_, [&](const Target& t) { return t.token == token; });
}

void Control::sendActions(unsigned events, const Event& event) {
  // Copied: an action may add or remove targets, or drop the last owner of this control.
  std::vector<Target> targets = targets_;
  auto keep = weak_from_this().lock();
  for (auto& target : targets) {
    if (target.events & events) target.action(*this, event);
  }
}

void Control::setEnabled(bool enabled) {
  enabled_ = enabled;
  stateDidChange();
}

void Control::setSelected(bool selected) {
  selected_ = selected;
  stateDidChange();
}

void Control::setHighlighted(bool highlighted) {
  highlighted_ = highlighted;
  stateDidChange();
}

unsigned Control::state() const {
  unsigned state = kStateNormal;
  if (highlighted_) state |= kStateHighlighted;
  if (!enabled_) state |= kStateDisabled;
  if (selected_) state |= kStateSelected;
  return state;
}

bool Control::touchesBegan(const Touch&, const Event& event) {
  if (!enabled_) return false;
  setHighlighted(true);
  sendActions(kTouchDown, event);
  return true;
}

bool Control::touchesEnded(const Touch& touch, const Event& event) {
  if (!enabled_) return false;
  setHighlighted(false);
  if (pointInside(touch.locationIn(*this))) {
    tapped(event);
    sendActions(kTouchUpInside | kPrimaryActionTriggered, event);
  } else {
    sendActions(kTouchUpOutside, event);
  }
  return true;
}

void Control::simulateTap() {
  if (!enabled_ || !isUserInteractionEnabled() || isHidden()) return;
  Event event{{Touch{convertPointTo(bounds().center(), nullptr), window()}}};
  setHighlighted(true);
  sendActions(kTouchDown, event);
  setHighlighted(false);
  tapped(event);
  sendActions(kTouchUpInside | kPrimaryActionTriggered, event);
}

Button::Button(Type type, const Rect& frame)
    : Control(frame),
      type_(type),
      titleLabel_(std::make_shared<Label>()),
      imageView_(std::make_shared<ImageView>()) {
  titleLabel_->setTextAlignment(TextAlignment::Center);
  titleLabel_->setFont(Font::system(15));
  addSubview(imageView_);
  addSubview(titleLabel_);
  updateContent();
}

void Button::setTitle(std::optional<std::string> title, unsigned state) {
  titles_[state] = std::move(title);
  updateContent();
}

std::optional<std::string> Button::titleForState(unsigned state) const {
  auto found = titles_.find(state);
  if (found == titles_.end()) found = titles_.find(kStateNormal);
  return found == titles_.end() ? std::nullopt : found->second;
}

void Button::setTitleColor(Color color, unsigned state) {
  titleColors_[state] = color;
  updateContent();
}

Color Button::titleColorForState(unsigned state) const {
  auto found = titleColors_.find(state);
  if (found == titleColors_.end()) found = titleColors_.find(kStateNormal);
  if (found != titleColors_.end()) return found->second;
  return type_ == Type::System ? tintColor() : Color::whiteColor();
}

void Button::setImage(ImagePtr image, unsigned state) {
  images_[state] = std::move(image);
  updateContent();
}

ImagePtr Button::imageForState(unsigned state) const {
  auto found = images_.find(state);
  if (found == images_.end()) found = images_.find(kStateNormal);
  return found == images_.end() ? nullptr : found->second;
}

void Button::setContentEdgeInsets(EdgeInsets insets) {
  contentInsets_ = insets;
  setNeedsLayout();
}

void Button::setTitleEdgeInsets(EdgeInsets insets) {
  titleInsets_ = insets;
  setNeedsLayout();
}

void Button::updateContent() {
  titleLabel_->setText(currentTitle());
  titleLabel_->setTextColor(titleColorForState(state()));
  imageView_->setImage(imageForState(state()));
  setNeedsLayout();
}

void Button::layoutSubviews() {
  Rect content = bounds().inset(contentInsets_);
  if (imageView_->image()) {
    Size size = imageView_->image()->size();
    imageView_->setFrame(Rect::make(content.midX() - size.width / 2,
                                    content.midY() - size.height / 2, size.width, size.height));
  }
  titleLabel_->setFrame(content.inset(titleInsets_));
}

Size Button::sizeThatFits(Size) const {
  Size text = titleLabel_->sizeThatFits({});
  Size image = imageView_->image() ? imageView_->image()->size() : Size{};
  return {std::max(text.width + titleInsets_.left + titleInsets_.right, image.width) +
              contentInsets_.left + contentInsets_.right,
          std::max(text.height + titleInsets_.top + titleInsets_.bottom, image.height) +
              contentInsets_.top + contentInsets_.bottom};
}

std::string Button::describe() const {
  std::string line = View::describe();
  if (auto title = currentTitle()) line += " title=\"" + *title + "\"";
  if (!isEnabled()) line += " disabled";
  return line;
}

Switch::Switch(const Rect& frame)
    : Control(frame.isEmpty() ? Rect{frame.origin, {51, 31}} : frame) {}

void Switch::setOn(bool on, bool) {
  on_ = on;
  setNeedsDisplay();
}

void Switch::setOnTintColor(Color color) {
  onTint_ = color;
  setNeedsDisplay();
}

void Switch::tapped(const Event& event) {
  setOn(!on_);
  sendActions(kValueChanged, event);
}

void Switch::draw(GraphicsContext& context, const Rect& bounds) {
  double radius = bounds.height() / 2;
  Path track = Path::roundedRect(bounds.insetBy(1, 1), radius - 1);
  if (on_) {
    context.fill(track, onTint_);
  } else {
    context.fill(track, Color::white(0.92));
  }
  double knob = bounds.height() - 4;
  double x = on_ ? bounds.maxX() - knob - 2 : bounds.minX() + 2;
  context.fill(Path::ellipse(Rect::make(x, bounds.minY() + 2, knob, knob)), Color::whiteColor());
  context.stroke(Path::ellipse(Rect::make(x, bounds.minY() + 2, knob, knob)), Color::white(0.8),
                 0.5);
}

std::string Switch::describe() const { return View::describe() + (on_ ? " on" : " off"); }

SegmentedControl::SegmentedControl(std::vector<std::string> titles, const Rect& frame)
    : Control(frame), titles_(std::move(titles)) {
  if (frame.isEmpty()) sizeToFit();
}

std::optional<std::string> SegmentedControl::titleForSegment(int index) const {
  if (index < 0 || index >= numberOfSegments()) return std::nullopt;
  return titles_[static_cast<size_t>(index)];
}

void SegmentedControl::setTitle(std::string title, int index) {
  if (index < 0 || index >= numberOfSegments()) return;
  titles_[static_cast<size_t>(index)] = std::move(title);
  setNeedsDisplay();
}

void SegmentedControl::insertSegment(std::string title, int index) {
  index = std::clamp(index, 0, numberOfSegments());
  titles_.insert(titles_.begin() + index, std::move(title));
  if (selected_ >= index) ++selected_;
  setNeedsDisplay();
}

void SegmentedControl::removeAllSegments() {
  titles_.clear();
  selected_ = kNoSegment;
  setNeedsDisplay();
}

void SegmentedControl::setSelectedSegmentIndex(int index) {
  selected_ = index >= 0 && index < numberOfSegments() ? index : kNoSegment;
  setNeedsDisplay();
}

void SegmentedControl::simulateSelectSegment(int index) {
  if (!isEnabled() || index < 0 || index >= numberOfSegments() || index == selected_) return;
  setSelectedSegmentIndex(index);
  sendActions(kValueChanged);
}

bool SegmentedControl::touchesEnded(const Touch& touch, const Event& event) {
  if (!isEnabled() || titles_.empty()) return false;
  setHighlighted(false);
  Point p = touch.locationIn(*this);
  if (!pointInside(p)) return true;
  int index = static_cast<int>(p.x / (bounds().width() / numberOfSegments()));
  index = std::clamp(index, 0, numberOfSegments() - 1);
  if (index != selected_) {
    setSelectedSegmentIndex(index);
    sendActions(kValueChanged, event);
  }
  return true;
}

Size SegmentedControl::sizeThatFits(Size) const {
  double widest = 0;
  for (const auto& title : titles_) {
    widest = std::max(widest, layoutText(title, segmentFont(), {}, 0).size.width);
  }
  return {std::ceil((widest + 20) * std::max<size_t>(titles_.size(), 1)), 28};
}

void SegmentedControl::draw(GraphicsContext& context, const Rect& bounds) {
  Color tint = tintColor();
  if (titles_.empty()) return;
  double width = bounds.width() / numberOfSegments();
  for (int i = 0; i < numberOfSegments(); ++i) {
    Rect segment = Rect::make(bounds.minX() + i * width, bounds.minY(), width, bounds.height());
    if (i == selected_) context.fillRect(segment, tint);
    TextLayout text = layoutText(titles_[static_cast<size_t>(i)], segmentFont(), {width - 4, 0}, 0);
    context.drawText(text, segment, i == selected_ ? Color::whiteColor() : tint,
                     TextAlignment::Center);
  }
  context.stroke(Path::roundedRect(bounds.insetBy(0.5, 0.5), 4), tint, 1);
}

std::string SegmentedControl::describe() const {
  std::string line = View::describe() + " segments=[";
  for (size_t i = 0; i < titles_.size(); ++i) line += (i ? "," : "") + titles_[i];
  return line + "] selected=" + std::to_string(selected_);
}

}  // namespace dz::ui
