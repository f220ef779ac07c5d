// CreatePollViewController ("createVC"): the compose screen. The user writes a question with up to
// four options, chooses a community poll (every user of the domain) or a direct poll (the users
// picked from a list ordered by how many polls the user has seen from each), and sends: the
// screen reads the sender's stored position once, has the poll store write the poll and the push
// task store queue its pushes, then closes. The placeholder as the question, a poll without any
// option, or a second send while one is under way are refused. The picks stay on the shared user
// records for the next poll. Main thread only.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "app/app_services.h"
#include "platform/notification_center.h"
#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/table_view.h"
#include "platform/ui/text_input.h"
#include "platform/ui/view_controller.h"

namespace pollapp {

inline constexpr char kComposeScreenIdentifier[] = "createVC";
inline constexpr char kQuestionPlaceholder[] = "ask a question";
inline constexpr char kSendingPollStatus[] = "sending poll";
inline constexpr char kPollSentStatus[] = "poll sent!";
inline constexpr char kNoQuestionStatus[] = "ask a question first";
inline constexpr char kNoOptionsStatus[] = "give at least one option";
inline constexpr char kUserCellIdentifier[] = "userCell";

class UserSelectTableViewCell : public dz::ui::TableViewCell {
 public:
  UserSelectTableViewCell();
  const char* className() const override { return "UserSelectTableViewCell"; }
  const std::shared_ptr<dz::ui::Label>& name() const { return name_; }
  const std::shared_ptr<dz::ui::ImageView>& selectedImageView() const { return mark_; }
  void layoutSubviews() override;

 private:
  std::shared_ptr<dz::ui::Label> name_;
  std::shared_ptr<dz::ui::ImageView> mark_;
};

class CreatePollViewController : public dz::ui::ViewController,
                                 public dz::ui::TableViewDataSource,
                                 public dz::ui::TableViewDelegate,
                                 public dz::ui::TextViewDelegate,
                                 public dz::ui::TextFieldDelegate {
 public:
  explicit CreatePollViewController(AppServices services = AppServices::current());
  ~CreatePollViewController() override;
  const char* className() const override { return "CreatePollViewController"; }

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;

  const std::shared_ptr<dz::ui::TextView>& questionTextView() const { return question_; }
  // Fields 1 to 4 at 0 to 3.
  const std::shared_ptr<dz::ui::TextField>& optionTextField(size_t index) const {
    return options_.at(index);
  }
  const std::shared_ptr<dz::ui::Button>& showMoreOptionsButton() const { return moreOptions_; }
  const std::shared_ptr<dz::ui::Button>& cancelButton() const { return cancel_; }
  const std::shared_ptr<dz::ui::Button>& sendButton() const { return send_; }
  const std::shared_ptr<dz::ui::SegmentedControl>& localDirectSegmentedControl() const {
    return kind_;
  }
  const std::shared_ptr<dz::ui::TableView>& tableView() const { return tableView_; }
  const std::vector<UserPtr>& otherUsersArray() const { return otherUsers_; }
  bool isSending() const { return sending_; }

  // User actions.
  void sendPollPressed();
  void cancelPressed();
  void didPressMoreOptions();
  void segmentedControlChanged();
  PollType getSelectedPollType() const;
  void getLocationAndSend();

  // Table, text view and text field delegates.
  int numberOfRows(dz::ui::TableView&, int section) override;
  std::shared_ptr<dz::ui::TableViewCell> cellForRow(dz::ui::TableView& table,
                                                    const dz::ui::IndexPath& path) override;
  void didSelectRow(dz::ui::TableView& table, const dz::ui::IndexPath& path) override;
  void scrollViewDidScroll(dz::ui::ScrollView&) override;
  void textViewDidBeginEditing(dz::ui::TextView& view) override;
  void textViewDidEndEditing(dz::ui::TextView& view) override;
  void textViewDidChange(dz::ui::TextView& view) override;
  bool textViewShouldChangeText(dz::ui::TextView& view, size_t location, size_t length,
                                const std::string& replacement) override;
  bool textFieldShouldReturn(dz::ui::TextField& field) override;

 private:
  std::shared_ptr<CreatePollViewController> self();
  void loadUsers();
  void addUserExceptCurrentUser(const UserPtr& user);
  void sortUsersByDirectPollsReceived();
  void didAddUser(const dz::platform::Notification& notification);
  // The question and the non-empty options, as typed; false (with the error shown) when refused.
  bool validate(std::string& question, std::vector<std::string>& options) const;
  void send(const std::optional<dz::platform::Location>& location, const std::string& question,
            const std::vector<std::string>& options);
  void sent(const dz::database::DatabaseReference& poll, const std::string& question, PollType type,
            double now);
  void stopObserving();

  const AppServices services_;
  const Environment environment_;
  std::shared_ptr<dz::ui::TextView> question_;
  std::array<std::shared_ptr<dz::ui::TextField>, 4> options_;
  std::shared_ptr<dz::ui::StackView> optionsStackView_;
  std::shared_ptr<dz::ui::Button> moreOptions_;
  std::shared_ptr<dz::ui::Button> cancel_;
  std::shared_ptr<dz::ui::Button> send_;
  std::shared_ptr<dz::ui::SegmentedControl> kind_;
  std::shared_ptr<dz::ui::TableView> tableView_;
  std::vector<UserPtr> otherUsers_;
  bool sending_ = false;
  dz::platform::NotificationCenter::ObserverToken userObserver_ = 0;
};

}  // namespace pollapp
