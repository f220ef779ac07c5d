#include "platform/ui/scroll_view.h"

#include <algorithm>

namespace dz::ui {

ScrollView::ScrollView(const Rect& frame) : View(frame) { setClipsToBounds(true); }

void ScrollView::setContentOffset(Point offset, bool animated) {
  Rect b = bounds();
  if (b.origin == offset) return;
  b.origin = offset;
  if (animated) {
    View::animate(0.3, [&] { setBounds(b); });
  } else {
    setBounds(b);
  }
  setNeedsLayout();
  if (auto delegate = scrollDelegate_.lock()) delegate->scrollViewDidScroll(*this);
}

void ScrollView::setContentInset(EdgeInsets insets) {
  contentInset_ = insets;
  if (dragging_) return;
  double rest = restingOffsetY();
  if (rest != contentOffset().y) setContentOffset({contentOffset().x, rest});
}

double ScrollView::maximumOffsetY() const {
  return std::max(minimumOffsetY(), contentSize_.height + contentInset_.bottom - bounds().height());
}

double ScrollView::restingOffsetY() const {
  return std::clamp(contentOffset().y, minimumOffsetY(), maximumOffsetY());
}

void ScrollView::beginDragging() {
  if (!scrollEnabled_ || dragging_) return;
  dragging_ = true;
  if (auto delegate = scrollDelegate_.lock()) delegate->scrollViewWillBeginDragging(*this);
}

void ScrollView::dragBy(double dy) {
  if (!dragging_) beginDragging();
  if (!dragging_) return;
  Point offset = contentOffset();
  setContentOffset({offset.x, offset.y - dy});
}

void ScrollView::endDragging() {
  if (!dragging_) return;
  dragging_ = false;
  if (auto delegate = scrollDelegate_.lock()) delegate->scrollViewDidEndDragging(*this, false);
  double rest = restingOffsetY();
  if (rest != contentOffset().y) setContentOffset({contentOffset().x, rest}, true);
}

std::string ScrollView::describe() const {
  return View::describe() + " offset=" + formatNumber(contentOffset().y) +
         " content=" + formatNumber(contentSize_.height);
}

}  // namespace dz::ui
