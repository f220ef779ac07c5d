// ScrollView: a view whose bounds origin is the content offset over a content of its own size.
// Dragging is simulated: beginDragging(), dragBy() (which may pull past the edges, as a user's
// pull does), endDragging() (the delegate hears of it, then the offset springs back within the
// content). Main thread only.
#pragma once

#include <memory>

#include "platform/ui/view.h"

namespace dz::ui {

class ScrollView;

class ScrollViewDelegate {
 public:
  virtual ~ScrollViewDelegate() = default;
  virtual void scrollViewDidScroll(ScrollView&) {}
  virtual void scrollViewWillBeginDragging(ScrollView&) {}
  virtual void scrollViewDidEndDragging(ScrollView&, bool /*willDecelerate*/) {}
};

class ScrollView : public View {
 public:
  explicit ScrollView(const Rect& frame = {});
  const char* className() const override { return "ScrollView"; }

  void setScrollDelegate(std::weak_ptr<ScrollViewDelegate> delegate) {
    scrollDelegate_ = std::move(delegate);
  }
  Size contentSize() const { return contentSize_; }
  void setContentSize(Size size) { contentSize_ = size; }
  Point contentOffset() const { return bounds().origin; }
  void setContentOffset(Point offset, bool animated = false);
  // Room around the content (negative: the content's edge rests beyond the view's). The offset
  // rests between -top and the content's height + bottom - the view's height; setting the inset
  // outside a drag moves the offset to the nearest of those.
  EdgeInsets contentInset() const { return contentInset_; }
  void setContentInset(EdgeInsets insets);
  EdgeInsets scrollIndicatorInsets() const { return indicatorInsets_; }
  void setScrollIndicatorInsets(EdgeInsets insets) { indicatorInsets_ = insets; }
  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }

  bool isDragging() const { return dragging_; }
  void beginDragging();
  // Moves the content by `dy` points (down is positive: the offset falls).
  void dragBy(double dy);
  void endDragging();
  // The offsets the content rests between.
  double minimumOffsetY() const { return -contentInset_.top; }
  double maximumOffsetY() const;
  // The nearest offset between those two.
  double restingOffsetY() const;

  std::string describe() const override;

 private:
  std::weak_ptr<ScrollViewDelegate> scrollDelegate_;
  Size contentSize_;
  EdgeInsets contentInset_;
  EdgeInsets indicatorInsets_;
  bool scrollEnabled_ = true;
  bool dragging_ = false;
};

}  // namespace dz::ui
