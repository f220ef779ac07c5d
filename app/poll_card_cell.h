// PollCardTableViewCell: one row of the polls feed: the question, an OptionButton per answer and
// a metadata line saying who asked whom. The feed gives it a poll and the viewer's uid
// (setupSubviewsFacingUserWithId), which rebuilds the buttons; taps go to the delegate, which
// votes. Reads the experiments "revealPollCreatorOnPoll" and "revealPollVotersOnPoll" from the
// "userExperiments" default. Main thread only; owned by the table.
#pragma once

#include <memory>
#include <string>

#include "app/option_button.h"
#include "app/records.h"
#include "platform/ui/label.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/table_view.h"
#include "platform/user_defaults.h"

namespace pollapp {

inline constexpr char kPollCellIdentifier[] = "pollCell";

class PollCardTableViewCellDelegate {
 public:
  virtual ~PollCardTableViewCellDelegate() = default;
  virtual void didChoosePollOption(const Option& option) = 0;
};

class PollCardTableViewCell : public dz::ui::TableViewCell {
 public:
  explicit PollCardTableViewCell(std::shared_ptr<dz::platform::UserDefaults> defaults);
  const char* className() const override { return "PollCardTableViewCell"; }

  const std::shared_ptr<dz::ui::Label>& questionLabel() const { return questionLabel_; }
  const std::shared_ptr<dz::ui::StackView>& pollInfoStackView() const { return stack_; }
  const std::shared_ptr<dz::ui::Button>& metadataButton() const { return metadataButton_; }
  const PollPtr& poll() const { return poll_; }
  void setPoll(PollPtr poll) { poll_ = std::move(poll); }
  const std::string& currentUserId() const { return currentUserId_; }
  void setDelegate(std::weak_ptr<PollCardTableViewCellDelegate> delegate) {
    delegate_ = std::move(delegate);
  }

  // Throws the buttons away and makes them anew for `uid`'s view of the poll.
  void setupSubviewsFacingUserWithId(const std::string& uid);
  std::string makeMetadataLabelInFull(bool full) const;
  void didPressMetadata();
  void didPressOption(const OptionButton& button);
  // Pulses the buttons whose counts moved.
  void animateDiffs(const PollDiff& diffs);
  // The option buttons, in order.
  std::vector<std::shared_ptr<OptionButton>> optionButtons() const;

  void layoutSubviews() override;
  dz::ui::Size sizeThatFits(dz::ui::Size size) const override;

 private:
  bool experiment(const char* key) const;
  dz::ui::Rect cardFrame(double width) const;

  const std::shared_ptr<dz::platform::UserDefaults> defaults_;
  std::shared_ptr<dz::ui::View> card_;
  std::shared_ptr<dz::ui::View> questionView_;
  std::shared_ptr<dz::ui::Label> questionLabel_;
  std::shared_ptr<dz::ui::StackView> stack_;
  std::shared_ptr<dz::ui::Button> metadataButton_;
  PollPtr poll_;
  std::string currentUserId_;
  std::weak_ptr<PollCardTableViewCellDelegate> delegate_;
};

}  // namespace pollapp
