#include "app/create_poll_view_controller.h"

#include <algorithm>

#include "app/database_layout.h"
#include "app/form_field.h"
#include "app/option_button.h"
#include "hud/progress_hud.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/ui/window.h"

namespace pollapp {

using dz::hud::ProgressHUD;
using dz::ui::Color;
using dz::ui::IndexPath;
using dz::ui::Rect;

namespace {

constexpr double kFieldHeight = FormField::kHeight;
constexpr double kSpacing = 8;
constexpr double kUserRowHeight = 44;

}  // namespace

UserSelectTableViewCell::UserSelectTableViewCell()
    : TableViewCell(kUserCellIdentifier),
      name_(std::make_shared<dz::ui::Label>()),
      mark_(std::make_shared<dz::ui::ImageView>()) {
  mark_->layer()->setCornerRadius(10);
  mark_->setClipsToBounds(true);
  mark_->layer()->setBorderWidth(2);
  mark_->layer()->setBorderColor(kAccentColor);
  contentView()->addSubview(name_);
  contentView()->addSubview(mark_);
  setFixedHeight(kUserRowHeight);
}

void UserSelectTableViewCell::layoutSubviews() {
  TableViewCell::layoutSubviews();
  const double width = bounds().size.width;
  name_->setFrame(Rect::make(16, 0, width - 64, kUserRowHeight));
  mark_->setFrame(Rect::make(width - 40, (kUserRowHeight - 20) / 2, 20, 20));
}

CreatePollViewController::CreatePollViewController(AppServices services)
    : services_(std::move(services)), environment_(services_.environment()) {}

CreatePollViewController::~CreatePollViewController() { stopObserving(); }

std::shared_ptr<CreatePollViewController> CreatePollViewController::self() {
  return std::static_pointer_cast<CreatePollViewController>(shared_from_this());
}

void CreatePollViewController::loadView() {
  const Rect bounds = dz::ui::Screen::main().bounds();
  const double width = bounds.size.width;
  auto root = std::make_shared<dz::ui::View>(bounds);
  root->setBackgroundColor(Color::whiteColor());

  cancel_ =
      std::make_shared<dz::ui::Button>(dz::ui::Button::Type::System, Rect::make(8, 24, 80, 32));
  cancel_->setTitle("cancel");
  send_ = std::make_shared<dz::ui::Button>(dz::ui::Button::Type::Custom,
                                           Rect::make(width - 88, 24, 76, 32));
  send_->setTitle("send");
  send_->setTitleColor(Color::whiteColor());
  send_->setBackgroundColor(kAccentColor);
  send_->layer()->setCornerRadius(16);
  kind_ = std::make_shared<dz::ui::SegmentedControl>(std::vector<std::string>{"", "direct"},
                                                     Rect::make(16, 68, width - 32, 32));
  kind_->setSelectedSegmentIndex(0);
  kind_->setTintColor(kAccentColor);

  question_ = std::make_shared<dz::ui::TextView>(Rect::make(16, 108, width - 32, 96));
  question_->setFont(dz::ui::Font::boldSystem(20));
  question_->setText(kQuestionPlaceholder);
  question_->setTextColor(Color::lightGray());

  optionsStackView_ = std::make_shared<dz::ui::StackView>();
  optionsStackView_->setAxis(dz::ui::Axis::Vertical);
  optionsStackView_->setSpacing(kSpacing);
  for (size_t i = 0; i < options_.size(); ++i) {
    auto field = std::make_shared<FormField>("option " + std::to_string(i + 1));
    field->setHidden(i >= 2);
    options_[i] = field;
    optionsStackView_->addArrangedSubview(field);
  }
  moreOptions_ = std::make_shared<dz::ui::Button>();
  moreOptions_->setTitle("+ more options");
  moreOptions_->setFixedHeight(kFieldHeight);
  optionsStackView_->addArrangedSubview(moreOptions_);
  const double optionsTop = 212;
  const double optionsHeight = 4 * kFieldHeight + 4 * kSpacing + kFieldHeight;
  optionsStackView_->setFrame(Rect::make(16, optionsTop, width - 32, optionsHeight));

  const double listTop = optionsTop + optionsHeight + kSpacing;
  tableView_ = std::make_shared<dz::ui::TableView>(
      Rect::make(0, listTop, width, bounds.size.height - listTop));
  for (const auto& view : std::vector<std::shared_ptr<dz::ui::View>>{
           cancel_, send_, kind_, question_, optionsStackView_, tableView_}) {
    root->addSubview(view);
  }
  setView(root);
}

void CreatePollViewController::viewDidLoad() {
  UserPtr me = services_.users()->currentUser();
  kind_->setTitle(me ? me->domain() : std::string(), 0);
  question_->setTextContainerInset({30, 0, 0, 0});
  otherUsers_.clear();
  tableView_->setHidden(true);
  send_->setHidden(true);

  auto screen = self();
  std::weak_ptr<CreatePollViewController> weak = screen;
  auto action = [weak](void (CreatePollViewController::*step)()) {
    return [weak, step](dz::ui::Control&, const dz::ui::Event&) {
      if (auto screen = weak.lock()) (screen.get()->*step)();
    };
  };
  moreOptions_->addTarget(dz::ui::kTouchUpInside,
                          action(&CreatePollViewController::didPressMoreOptions));
  cancel_->addTarget(dz::ui::kTouchUpInside, action(&CreatePollViewController::cancelPressed));
  send_->addTarget(dz::ui::kTouchUpInside, action(&CreatePollViewController::sendPollPressed));
  kind_->addTarget(dz::ui::kValueChanged,
                   action(&CreatePollViewController::segmentedControlChanged));
  question_->setDelegate(screen);
  for (const auto& field : options_) field->setDelegate(screen);
  tableView_->registerCell(kUserCellIdentifier, [](const std::string&) {
    return std::make_shared<UserSelectTableViewCell>();
  });
  tableView_->setDataSource(screen);
  tableView_->setDelegate(screen);
  tableView_->setScrollDelegate(screen);
  loadUsers();
}

void CreatePollViewController::viewWillAppear(bool) {
  stopObserving();
  std::weak_ptr<CreatePollViewController> weak = self();
  userObserver_ = environment_.center().addObserver(kAddedUserNotification, nullptr, nullptr,
                                                    [weak](const dz::platform::Notification& note) {
                                                      if (auto screen = weak.lock())
                                                        screen->didAddUser(note);
                                                    });
}

void CreatePollViewController::viewDidAppear(bool) { question_->becomeFirstResponder(); }

void CreatePollViewController::viewWillDisappear(bool) { stopObserving(); }

void CreatePollViewController::stopObserving() {
  environment_.center().removeObserver(userObserver_);
  userObserver_ = 0;
}

void CreatePollViewController::loadUsers() {
  auto users = services_.users();
  if (users->usersArray().empty()) {
    users->fetchRelatedUsers();
    return;
  }
  for (const auto& user : users->usersArray()) addUserExceptCurrentUser(user);
  sortUsersByDirectPollsReceived();
  tableView_->reloadData();
}

void CreatePollViewController::addUserExceptCurrentUser(const UserPtr& user) {
  if (!user) return;
  if (user->userId() == environment_.signedInUid()) {
    user->setSelectedToPoll(true);
    return;
  }
  if (std::find(otherUsers_.begin(), otherUsers_.end(), user) != otherUsers_.end()) return;
  otherUsers_.insert(otherUsers_.begin(), user);
}

void CreatePollViewController::didAddUser(const dz::platform::Notification& notification) {
  auto found = notification.userInfo.find("user");
  if (found == notification.userInfo.end() || !found->second.isString()) return;
  UserPtr user = services_.users()->userForUserId(found->second.asString());
  addUserExceptCurrentUser(user);
  if (user && user->userId() != environment_.signedInUid()) {
    sortUsersByDirectPollsReceived();
    tableView_->reloadSections({0}, dz::ui::RowAnimation::Fade);
  }
}

void CreatePollViewController::sortUsersByDirectPollsReceived() {
  const auto& counts = services_.polls()->directPollCountsBySenderID();
  auto count = [&counts](const UserPtr& user) {
    auto found = counts.find(user->userId());
    return found == counts.end() ? 0 : found->second;
  };
  std::stable_sort(otherUsers_.begin(), otherUsers_.end(),
                   [&](const UserPtr& a, const UserPtr& b) { return count(a) > count(b); });
}

int CreatePollViewController::numberOfRows(dz::ui::TableView&, int) {
  return static_cast<int>(otherUsers_.size());
}

std::shared_ptr<dz::ui::TableViewCell> CreatePollViewController::cellForRow(
    dz::ui::TableView& table, const IndexPath& path) {
  auto cell = std::static_pointer_cast<UserSelectTableViewCell>(
      table.dequeueReusableCell(kUserCellIdentifier, path));
  if (path.row < 0 || static_cast<size_t>(path.row) >= otherUsers_.size()) return cell;
  const UserPtr& user = otherUsers_[path.row];
  cell->name()->setText(user->firstName() + " " + user->lastName());
  cell->selectedImageView()->setBackgroundColor(user->isSelectedToPoll() ? kAccentColor
                                                                         : Color::clear());
  return cell;
}

void CreatePollViewController::didSelectRow(dz::ui::TableView& table, const IndexPath& path) {
  view()->endEditing(true);
  if (path.row < 0 || static_cast<size_t>(path.row) >= otherUsers_.size()) return;
  const UserPtr& user = otherUsers_[path.row];
  user->setSelectedToPoll(!user->isSelectedToPoll());
  table.reloadData();
}

void CreatePollViewController::scrollViewDidScroll(dz::ui::ScrollView&) {
  view()->endEditing(true);
}

void CreatePollViewController::segmentedControlChanged() {
  view()->endEditing(true);
  tableView_->setHidden(kind_->selectedSegmentIndex() == 0);
}

PollType CreatePollViewController::getSelectedPollType() const {
  return kind_->selectedSegmentIndex() == 0 ? PollType::Community : PollType::Direct;
}

void CreatePollViewController::textViewDidBeginEditing(dz::ui::TextView& view) {
  if (view.text() == kQuestionPlaceholder) {
    view.setText("");
    view.setTextColor(Color::black());
  }
}

void CreatePollViewController::textViewDidEndEditing(dz::ui::TextView& view) {
  if (view.text().empty()) {
    view.setText(kQuestionPlaceholder);
    view.setTextColor(Color::lightGray());
  }
}

void CreatePollViewController::textViewDidChange(dz::ui::TextView& view) {
  send_->setHidden(view.text().empty());
}

bool CreatePollViewController::textViewShouldChangeText(dz::ui::TextView&, size_t, size_t,
                                                        const std::string& replacement) {
  if (replacement != "\n") return true;
  getLocationAndSend();
  return false;
}

bool CreatePollViewController::textFieldShouldReturn(dz::ui::TextField&) {
  getLocationAndSend();
  return true;
}

void CreatePollViewController::didPressMoreOptions() {
  moreOptions_->setHidden(true);
  options_[2]->setHidden(false);
  options_[3]->setHidden(false);
}

void CreatePollViewController::cancelPressed() { dismiss(false); }

void CreatePollViewController::sendPollPressed() { getLocationAndSend(); }

bool CreatePollViewController::validate(std::string& question,
                                        std::vector<std::string>& options) const {
  question = question_->text();
  // The hint is no question, and nobody could vote on a poll without options.
  if (question.empty() || question == kQuestionPlaceholder) {
    ProgressHUD::showErrorWithStatus(std::string(kNoQuestionStatus));
    return false;
  }
  options.clear();
  for (const auto& field : options_) {
    if (!field->text().empty()) options.push_back(field->text());
  }
  if (options.empty()) {
    ProgressHUD::showErrorWithStatus(std::string(kNoOptionsStatus));
    return false;
  }
  return true;
}

void CreatePollViewController::getLocationAndSend() {
  // A second return key or tap while the first send is under way would send the poll twice.
  if (sending_) return;
  view()->endEditing(true);
  std::string question;
  std::vector<std::string> options;
  if (!validate(question, options)) return;
  std::optional<std::string> uid = environment_.signedInUid();
  if (!uid) return;
  sending_ = true;
  ProgressHUD::showWithStatus(std::string(kSendingPollStatus));
  std::weak_ptr<CreatePollViewController> weak = self();
  environment_.rootRef()
      .child(layout::kUsers)
      .child(*uid)
      .child(layout::kLocation)
      .observeSingleEventOfType(dz::database::DataEventType::Value,
                                [weak, question, options](const DataSnapshot& snapshot) {
                                  auto screen = weak.lock();
                                  if (!screen) return;
                                  dz::Value value = snapshot.value();
                                  std::optional<dz::platform::Location> location;
                                  auto latitude = value[layout::kLatitude].getDouble();
                                  auto longitude = value[layout::kLongitude].getDouble();
                                  if (latitude && longitude)
                                    location.emplace(*latitude, *longitude);
                                  screen->send(location, question, options);
                                });
}

void CreatePollViewController::send(const std::optional<dz::platform::Location>& location,
                                    const std::string& question,
                                    const std::vector<std::string>& options) {
  const double now = environment_.now();
  const PollType type = getSelectedPollType();
  std::weak_ptr<CreatePollViewController> weak = self();
  auto failed = [weak](const std::string& description) {
    auto screen = weak.lock();
    if (!screen) return;
    dz::platform::logLine(std::string(screen->className()) + ": ERROR: " + description);
    ProgressHUD::showErrorWithStatus(description);
    screen->sending_ = false;
  };
  try {
    services_.polls()->createPollAtLocation(
        location, question, options, type, now,
        [weak, failed, question, type, now](const dz::ErrorPtr& error,
                                            const dz::database::DatabaseReference& poll) {
          auto screen = weak.lock();
          if (!screen) return;
          if (error) {
            failed(error->localizedDescription());
            return;
          }
          screen->sent(poll, question, type, now);
        });
  } catch (const dz::Exception& e) {
    failed(e.what());
  }
}

void CreatePollViewController::sent(const dz::database::DatabaseReference& poll,
                                    const std::string& question, PollType type, double now) {
  auto notifications = services_.notifications();
  if (type == PollType::Direct) {
    notifications->sendDirectPollNotification(poll, question, now);
  } else {
    UserPtr me = services_.users()->currentUser();
    notifications->sendCommunityPollNotification(poll, question, me ? me->domain() : "", now);
  }
  sending_ = false;
  ProgressHUD::showSuccessWithStatus(std::string(kPollSentStatus));
  setModalTransitionStyle(dz::ui::ModalTransitionStyle::CrossDissolve);
  dismiss(true);
}

}  // namespace pollapp
