// StackView: lays its arranged views out in a row or column, skipping hidden ones. Each view takes
// its fixed size when it has one, else the size it fits. Removing an arranged view from the
// stack's subviews also removes it from the arrangement. Main thread only.
#pragma once

#include <memory>
#include <vector>

#include "platform/ui/view.h"

namespace dz::ui {

enum class Axis { Horizontal, Vertical };
enum class StackDistribution { Fill, FillEqually };
enum class StackAlignment { Fill, Leading, Center, Trailing };

class StackView : public View {
 public:
  explicit StackView(std::vector<std::shared_ptr<View>> arranged = {}, const Rect& frame = {});
  const char* className() const override { return "StackView"; }

  const std::vector<std::shared_ptr<View>>& arrangedSubviews() const { return arranged_; }
  void addArrangedSubview(std::shared_ptr<View> view);
  void insertArrangedSubview(std::shared_ptr<View> view, size_t index);
  // Leaves the view a subview, as the platform does.
  void removeArrangedSubview(const View* view);

  Axis axis() const { return axis_; }
  void setAxis(Axis axis);
  double spacing() const { return spacing_; }
  void setSpacing(double spacing);
  StackDistribution distribution() const { return distribution_; }
  void setDistribution(StackDistribution distribution);
  StackAlignment alignment() const { return alignment_; }
  void setAlignment(StackAlignment alignment);

  void layoutSubviews() override;
  Size sizeThatFits(Size size) const override;
  void willRemoveSubview(View* subview) override { removeArrangedSubview(subview); }

 private:
  std::vector<View*> visibleArranged() const;
  // Length along the axis and across it that `view` wants within `across`.
  Size wanted(const View& view, double across) const;

  std::vector<std::shared_ptr<View>> arranged_;
  Axis axis_ = Axis::Horizontal;
  double spacing_ = 0;
  StackDistribution distribution_ = StackDistribution::Fill;
  StackAlignment alignment_ = StackAlignment::Fill;
};

}  // namespace dz::ui
