// Controls: views that turn touches into actions. A control calls the actions registered for an
// event in registration order; touches that end inside send touch-up-inside. Button (a title and
// image per state), Switch (on / off, value-changed) and SegmentedControl (one selected segment,
// value-changed). Actions should capture their owner weakly. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/view.h"

namespace dz::ui {

// Event bits, with the platform's values.
enum ControlEvents : unsigned {
  kTouchDown = 1u << 0,
  kTouchDownRepeat = 1u << 1,
  kTouchDragInside = 1u << 2,
  kTouchDragOutside = 1u << 3,
  kTouchUpInside = 1u << 6,
  kTouchUpOutside = 1u << 7,
  kTouchCancel = 1u << 8,
  kValueChanged = 1u << 12,
  kPrimaryActionTriggered = 1u << 13,
  kEditingDidBegin = 1u << 16,
  kEditingChanged = 1u << 17,
  kEditingDidEnd = 1u << 18,
  kEditingDidEndOnExit = 1u << 19,
  kAllTouchEvents = 0x00000FFFu,
  kAllEditingEvents = 0x000F0000u,
  kAllEvents = 0xFFFFFFFFu,
};

enum ControlState : unsigned {
  kStateNormal = 0,
  kStateHighlighted = 1,
  kStateDisabled = 2,
  kStateSelected = 4,
};

class Control : public View {
 public:
  using Action = std::function<void(Control& sender, const Event& event)>;
  using ActionToken = uint64_t;

  explicit Control(const Rect& frame = {}) : View(frame) {}
  const char* className() const override { return "Control"; }

  ActionToken addTarget(unsigned events, Action action);
  void removeTarget(ActionToken token);
  void removeAllTargets() { targets_.clear(); }
  // Calls every action registered for one of `events`.
  void sendActions(unsigned events, const Event& event = {});

  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled);
  bool isSelected() const { return selected_; }
  void setSelected(bool selected);
  bool isHighlighted() const { return highlighted_; }
  void setHighlighted(bool highlighted);
  unsigned state() const;
  virtual void stateDidChange() {}

  bool touchesBegan(const Touch& touch, const Event& event) override;
  bool touchesEnded(const Touch& touch, const Event& event) override;
  // A finger down and up in the middle, as a user's tap (nothing when disabled or not
  // interactive).
  void simulateTap();

 protected:
  // What a completed tap does beyond touch-up-inside (a switch flips).
  virtual void tapped(const Event&) {}

 private:
  struct Target {
    ActionToken token;
    unsigned events;
    Action action;
  };
  std::vector<Target> targets_;
  ActionToken nextToken_ = 1;
  bool enabled_ = true;
  bool selected_ = false;
  bool highlighted_ = false;
};

class Button : public Control {
 public:
  enum class Type { Custom, System };
  explicit Button(Type type = Type::System, const Rect& frame = {});
  const char* className() const override { return "Button"; }

  // Values per state; a state without its own takes the normal state's.
  void setTitle(std::optional<std::string> title, unsigned state = kStateNormal);
  std::optional<std::string> titleForState(unsigned state) const;
  std::optional<std::string> currentTitle() const { return titleForState(state()); }
  void setTitleColor(Color color, unsigned state = kStateNormal);
  Color titleColorForState(unsigned state) const;
  void setImage(ImagePtr image, unsigned state = kStateNormal);
  ImagePtr imageForState(unsigned state) const;

  const std::shared_ptr<Label>& titleLabel() const { return titleLabel_; }
  const std::shared_ptr<ImageView>& imageView() const { return imageView_; }
  EdgeInsets contentEdgeInsets() const { return contentInsets_; }
  void setContentEdgeInsets(EdgeInsets insets);
  EdgeInsets titleEdgeInsets() const { return titleInsets_; }
  void setTitleEdgeInsets(EdgeInsets insets);

  void stateDidChange() override { updateContent(); }
  void tintColorDidChange() override { updateContent(); }
  void layoutSubviews() override;
  Size sizeThatFits(Size size) const override;
  std::string describe() const override;

 private:
  void updateContent();
  Type type_;
  std::map<unsigned, std::optional<std::string>> titles_;
  std::map<unsigned, Color> titleColors_;
  std::map<unsigned, ImagePtr> images_;
  std::shared_ptr<Label> titleLabel_;
  std::shared_ptr<ImageView> imageView_;
  EdgeInsets contentInsets_;
  EdgeInsets titleInsets_;
};

class Switch : public Control {
 public:
  explicit Switch(const Rect& frame = {});
  const char* className() const override { return "Switch"; }

  bool isOn() const { return on_; }
  // Sends no action, as when the program sets it.
  void setOn(bool on, bool animated = false);
  Color onTintColor() const { return onTint_; }
  void setOnTintColor(Color color);

  Size sizeThatFits(Size) const override { return {51, 31}; }
  bool drawsContent() const override { return true; }
  void draw(GraphicsContext& context, const Rect& bounds) override;
  std::string describe() const override;

 protected:
  void tapped(const Event& event) override;

 private:
  bool on_ = false;
  Color onTint_ = Color::rgb255(52, 199, 89);
};

class SegmentedControl : public Control {
 public:
  static constexpr int kNoSegment = -1;
  explicit SegmentedControl(std::vector<std::string> titles = {}, const Rect& frame = {});
  const char* className() const override { return "SegmentedControl"; }

  int numberOfSegments() const { return static_cast<int>(titles_.size()); }
  // An index out of range reads as none and is ignored by the setter.
  std::optional<std::string> titleForSegment(int index) const;
  void setTitle(std::string title, int index);
  void insertSegment(std::string title, int index);
  void removeAllSegments();
  int selectedSegmentIndex() const { return selected_; }
  // Sends no action, as when the program sets it.
  void setSelectedSegmentIndex(int index);
  // A user's tap on a segment: selects it and sends value-changed when it changed.
  void simulateSelectSegment(int index);

  Size sizeThatFits(Size size) const override;
  bool drawsContent() const override { return true; }
  void draw(GraphicsContext& context, const Rect& bounds) override;
  void tintColorDidChange() override { setNeedsDisplay(); }
  bool touchesEnded(const Touch& touch, const Event& event) override;
  std::string describe() const override;

 private:
  std::vector<std::string> titles_;
  int selected_ = kNoSegment;
};

}  // namespace dz::ui
