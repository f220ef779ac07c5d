#include "platform/ui/stack_view.h"

#include <algorithm>

namespace dz::ui {

StackView::StackView(std::vector<std::shared_ptr<View>> arranged, const Rect& frame) : View(frame) {
  for (auto& view : arranged) addArrangedSubview(std::move(view));
}

void StackView::addArrangedSubview(std::shared_ptr<View> view) {
  insertArrangedSubview(std::move(view), arranged_.size());
}

void StackView::insertArrangedSubview(std::shared_ptr<View> view, size_t index) {
  if (!view) return;
  removeArrangedSubview(view.get());
  index = std::min(index, arranged_.size());
  arranged_.insert(arranged_.begin() + static_cast<ptrdiff_t>(index), view);
  if (view->superview() != this) addSubview(view);
  setNeedsLayout();
}

void StackView::removeArrangedSubview(const View* view) {
  auto removed = std::erase_if(arranged_, [&](const auto& v) { return v.get() == view; });
  if (removed) setNeedsLayout();
}

void StackView::setAxis(Axis axis) {
  axis_ = axis;
  setNeedsLayout();
}
void StackView::setSpacing(double spacing) {
  spacing_ = spacing;
  setNeedsLayout();
}
void StackView::setDistribution(StackDistribution distribution) {
  distribution_ = distribution;
  setNeedsLayout();
}
void StackView::setAlignment(StackAlignment alignment) {
  alignment_ = alignment;
  setNeedsLayout();
}

std::vector<View*> StackView::visibleArranged() const {
  std::vector<View*> views;
  for (const auto& view : arranged_) {
    if (!view->isHidden()) views.push_back(view.get());
  }
  return views;
}

Size StackView::wanted(const View& view, double across) const {
  bool vertical = axis_ == Axis::Vertical;
  Size fits = view.sizeThatFits(vertical ? Size{across, 0} : Size{0, across});
  if (view.fixedHeight()) fits.height = *view.fixedHeight();
  if (view.fixedWidth()) fits.width = *view.fixedWidth();
  return vertical ? Size{fits.height, fits.width} : fits;
}

void StackView::layoutSubviews() {
  std::vector<View*> views = visibleArranged();
  if (views.empty()) return;
  bool vertical = axis_ == Axis::Vertical;
  double along = vertical ? bounds().height() : bounds().width();
  double across = vertical ? bounds().width() : bounds().height();
  double equal = (along - spacing_ * (views.size() - 1)) / views.size();
  double offset = 0;
  for (View* view : views) {
    Size want = wanted(*view, across);
    double length = distribution_ == StackDistribution::FillEqually ? equal : want.width;
    double breadth = alignment_ == StackAlignment::Fill ? across : std::min(want.height, across);
    double start = alignment_ == StackAlignment::Center     ? (across - breadth) / 2
                   : alignment_ == StackAlignment::Trailing ? across - breadth
                                                            : 0;
    view->setFrame(vertical ? Rect::make(start, offset, breadth, length)
                            : Rect::make(offset, start, length, breadth));
    offset += length + spacing_;
  }
}

Size StackView::sizeThatFits(Size size) const {
  std::vector<View*> views = visibleArranged();
  bool vertical = axis_ == Axis::Vertical;
  double across = vertical ? size.width : size.height;
  double along = 0, widest = 0;
  for (View* view : views) {
    Size want = wanted(*view, across);
    along += want.width;
    widest = std::max(widest, want.height);
  }
  if (!views.empty()) along += spacing_ * (views.size() - 1);
  if (across > 0) widest = across;
  return vertical ? Size{widest, along} : Size{along, widest};
}

}  // namespace dz::ui
