// AlertController: a screen that asks the user something, with a title, a message and actions.
// Tapping an action (simulateTapAction) dismisses the alert and then calls the action's handler.
// Main thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/view_controller.h"

namespace dz::ui {

struct AlertAction {
  enum class Style { Default, Cancel, Destructive };
  std::string title;
  Style style = Style::Default;
  std::function<void(const AlertAction&)> handler;
};

class AlertController : public ViewController {
 public:
  enum class Style { ActionSheet, Alert };
  AlertController(std::optional<std::string> title, std::optional<std::string> message,
                  Style style = Style::Alert);
  const char* className() const override { return "AlertController"; }

  const std::optional<std::string>& alertTitle() const { return title_; }
  const std::optional<std::string>& message() const { return message_; }
  Style preferredStyle() const { return style_; }
  void addAction(AlertAction action);
  const std::vector<AlertAction>& actions() const { return actions_; }
  // The action offered as the one to choose, drawn in bold. Throws dz::Exception for an index
  // without an action.
  void setPreferredAction(size_t index);
  std::optional<size_t> preferredAction() const { return preferredAction_; }
  // Throws dz::Exception for an index without an action.
  void simulateTapAction(size_t index);

  void loadView() override;

 private:
  std::optional<std::string> title_;
  std::optional<std::string> message_;
  Style style_;
  std::vector<AlertAction> actions_;
  std::optional<size_t> preferredAction_;
};

}  // namespace dz::ui
