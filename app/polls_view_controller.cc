#include "app/polls_view_controller.h"

#include "app/app_delegate.h"
#include "app/database_layout.h"
#include "hud/progress_hud.h"
#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/ui/application.h"
#include "platform/ui/clock.h"
#include "platform/ui/label.h"

namespace pollapp {

using dz::hud::ProgressHUD;
using dz::ui::Color;
using dz::ui::IndexPath;
using dz::ui::Rect;

namespace {

constexpr double kHeaderHeight = 64;
constexpr double kBoltHeight = 80;
constexpr char kBoltImageName[] = "bolt";
constexpr double kEstimatedRowHeight = 57;
// After the screen is set up or comes back to the front, the position is asked for a little later.
constexpr double kLocationDelay = 0.5;

std::optional<size_t> rowOf(const dz::Value::Map& userInfo, const char* key) {
  auto found = userInfo.find(key);
  if (found == userInfo.end()) return std::nullopt;
  std::optional<int64_t> row = found->second.getInt();
  if (!row || *row < 0) return std::nullopt;
  return static_cast<size_t>(*row);
}

}  // namespace

PollsViewController::PollsViewController(AppServices services)
    : services_(std::move(services)), environment_(services_.environment()) {}

PollsViewController::~PollsViewController() { stopObserving(); }

std::shared_ptr<PollsViewController> PollsViewController::self() {
  return std::static_pointer_cast<PollsViewController>(shared_from_this());
}

std::string PollsViewController::uid() const {
  return environment_.signedInUid().value_or(std::string());
}

void PollsViewController::loadView() {
  const Rect bounds = dz::ui::Screen::main().bounds();
  auto root = std::make_shared<dz::ui::View>(bounds);
  root->setBackgroundColor(kLightBackgroundColor);

  auto header = std::make_shared<dz::ui::View>(Rect::make(0, 0, bounds.size.width, kHeaderHeight));
  header->setBackgroundColor(Color::whiteColor());
  auto title = std::make_shared<dz::ui::Label>(Rect::make(16, 24, 120, 32));
  title->setText("polls");
  title->setFont(dz::ui::Font::boldSystem(24));
  title->setTextColor(kAccentColor);
  header->addSubview(title);
  auto localLabel = std::make_shared<dz::ui::Label>(Rect::make(132, 30, 50, 20));
  localLabel->setText("local");
  localLabel->setFont(dz::ui::Font::system(14));
  localLabel->setTextColor(Color::darkGray());
  header->addSubview(localLabel);
  livePollSwitch_ = std::make_shared<dz::ui::Switch>(Rect::make(176, 25, 51, 31));
  livePollSwitch_->setOnTintColor(kAccentColor);
  header->addSubview(livePollSwitch_);
  questionButton_ = std::make_shared<dz::ui::Button>(
      dz::ui::Button::Type::Custom, Rect::make(bounds.size.width - 104, 24, 92, 32));
  questionButton_->setTitle("+ ask");
  questionButton_->setTitleColor(Color::whiteColor());
  questionButton_->setBackgroundColor(kAccentColor);
  questionButton_->layer()->setCornerRadius(16);
  header->addSubview(questionButton_);

  tableView_ = std::make_shared<dz::ui::TableView>(
      Rect::make(0, kHeaderHeight, bounds.size.width, bounds.size.height - kHeaderHeight));
  tableView_->setBackgroundColor(kLightBackgroundColor);
  // The bolt waits above the first row, hidden by the list's inset until the list is pulled down.
  auto boltArea = std::make_shared<dz::ui::View>(Rect::make(0, 0, bounds.size.width, kBoltHeight));
  auto bolt = std::make_shared<dz::ui::ImageView>(
      dz::ui::Image::named(kBoltImageName, dz::platform::Bundle::main()));
  bolt->setFrame(Rect::make(bounds.size.width / 2 - 20, 0, 40, 40));
  bolt->setContentMode(dz::ui::ContentMode::ScaleAspectFit);
  bolt->setAccessibilityIdentifier("topBolt");
  boltArea->addSubview(bolt);
  tableView_->setTableHeaderView(boltArea);
  topBolt_ = bolt;
  root->addSubview(tableView_);
  root->addSubview(header);
  setView(root);
}

void PollsViewController::viewDidLoad() {
  setupTableView();
  std::weak_ptr<PollsViewController> weak = self();
  livePollSwitch_->addTarget(dz::ui::kValueChanged, [weak](dz::ui::Control&, const dz::ui::Event&) {
    if (auto screen = weak.lock()) screen->livePollsSwitchChanged();
  });
  questionButton_->addTarget(dz::ui::kTouchUpInside,
                             [weak](dz::ui::Control&, const dz::ui::Event&) {
                               if (auto screen = weak.lock()) screen->createPollPressed();
                             });
  readCurrentUser();
}

void PollsViewController::readCurrentUser() {
  std::weak_ptr<PollsViewController> weak = self();
  services_.users()->fetchOrGetCurrentUserWithCompletionBlock([weak](UserPtr user) {
    auto screen = weak.lock();
    if (!screen) return;
    if (user) {
      screen->currentUserKnown();
      return;
    }
    // The record is written at sign-up; until it is there the feeds have no domain to follow.
    dz::platform::logLine(std::string(screen->className()) + ": no user record yet, reading again");
    dz::ui::after(1, [weak] {
      if (auto screen = weak.lock()) screen->readCurrentUser();
    });
  });
}

void PollsViewController::setupTableView() {
  tableView_->registerCell(kPollCellIdentifier,
                           [defaults = environment_.defaults](const std::string&) {
                             return std::make_shared<PollCardTableViewCell>(defaults);
                           });
  tableView_->setRowHeight(dz::ui::TableView::kAutomaticDimension);
  tableView_->setEstimatedRowHeight(kEstimatedRowHeight);
  if (auto bolt = topBolt()) {
    Rect frame = bolt->frame();
    frame.size.height = kBoltHeight;
    bolt->setFrame(frame);
  }
  tableView_->setContentInset({-kBoltHeight, 0, 0, 0});
  tableView_->setScrollIndicatorInsets({-kBoltHeight, 0, 0, 0});
  tableView_->setDataSource(self());
  tableView_->setDelegate(self());
  tableView_->setScrollDelegate(self());
}

void PollsViewController::currentUserKnown() {
  setupLocalPollsSwitch();
  services_.polls()->fetchDirectPolls();
  services_.polls()->fetchRecentPollsForCommunity();
}

void PollsViewController::setupLocalPollsSwitch() {
  localPollsOn_ = environment_.defaults->boolForKey(layout::kLocalPollsOnDefault);
  livePollSwitch_->setOn(localPollsOn_, false);
  if (!localPollsOn_) return;
  std::weak_ptr<PollsViewController> weak = self();
  dz::ui::after(kLocationDelay, [weak] {
    if (auto screen = weak.lock()) screen->getLocation();
  });
}

void PollsViewController::viewWillAppear(bool) {
  askForPush();
  // Changes posted while the screen was away were not heard: start from the store's cache.
  tableView_->reloadData();
  tableView_->layoutIfNeeded();
  stopObserving();
  std::weak_ptr<PollsViewController> weak = self();
  auto observe = [weak](void (PollsViewController::*handler)(const dz::platform::Notification&)) {
    return [weak, handler](const dz::platform::Notification& notification) {
      if (auto screen = weak.lock()) (screen.get()->*handler)(notification);
    };
  };
  auto& center = environment_.center();
  storeObservers_ = {
      center.addObserver(kAddedPollNotification, nullptr, nullptr,
                         observe(&PollsViewController::didAddPoll)),
      center.addObserver(kUpdatedPollNotification, nullptr, nullptr,
                         observe(&PollsViewController::didUpdatePoll)),
      center.addObserver(kDeletedPollNotification, nullptr, nullptr,
                         observe(&PollsViewController::didDeletePoll)),
  };
  auto& platformCenter = dz::platform::NotificationCenter::defaultCenter();
  applicationObservers_ = {
      platformCenter.addObserver(dz::ui::kApplicationDidEnterBackgroundNotification, nullptr,
                                 nullptr,
                                 [weak](const dz::platform::Notification&) {
                                   if (auto screen = weak.lock()) screen->didMoveToBackground();
                                 }),
      platformCenter.addObserver(dz::ui::kApplicationDidBecomeActiveNotification, nullptr, nullptr,
                                 [weak](const dz::platform::Notification&) {
                                   if (auto screen = weak.lock()) screen->didMoveToForeground();
                                 }),
  };
}

void PollsViewController::viewWillDisappear(bool) { stopObserving(); }

void PollsViewController::stopObserving() {
  for (auto token : storeObservers_) environment_.center().removeObserver(token);
  for (auto token : applicationObservers_) {
    dz::platform::NotificationCenter::defaultCenter().removeObserver(token);
  }
  storeObservers_.clear();
  applicationObservers_.clear();
}

void PollsViewController::askForPush() {
  if (auto delegate =
          std::dynamic_pointer_cast<AppDelegate>(dz::ui::Application::shared().delegate())) {
    delegate->registerForNotifications();
  }
}

int PollsViewController::numberOfRows(dz::ui::TableView&, int) {
  return static_cast<int>(services_.polls()->pollsArray().size());
}

std::shared_ptr<dz::ui::TableViewCell> PollsViewController::cellForRow(dz::ui::TableView& table,
                                                                       const IndexPath& path) {
  auto cell = std::static_pointer_cast<PollCardTableViewCell>(
      table.dequeueReusableCell(kPollCellIdentifier, path));
  const auto& polls = services_.polls()->pollsArray();
  if (path.row < 0 || static_cast<size_t>(path.row) >= polls.size()) return cell;
  const PollPtr& poll = polls[path.row];
  cell->setDelegate(self());
  cell->questionLabel()->setText(poll->questionString());
  cell->setPoll(poll);
  cell->pollInfoStackView()->setUserInteractionEnabled(true);
  cell->setupSubviewsFacingUserWithId(uid());
  return cell;
}

void PollsViewController::didAddPoll(const dz::platform::Notification& notification) {
  applyRowChange(rowOf(notification.userInfo, "index"), +1);
}

void PollsViewController::didUpdatePoll(const dz::platform::Notification& notification) {
  const dz::Value* key = nullptr;
  if (auto found = notification.userInfo.find("poll"); found != notification.userInfo.end()) {
    key = &found->second;
  }
  if (!key || !key->isString()) return;
  auto polls = services_.polls();
  PollPtr poll = polls->pollForPollId(key->asString());
  std::optional<size_t> row = polls->indexOfPollWithId(key->asString());
  if (!poll || !row) return;
  auto cell = std::dynamic_pointer_cast<PollCardTableViewCell>(
      tableView_->cellForRow(IndexPath{0, static_cast<int>(*row)}));
  if (cell) updateCell(*cell, poll);
}

void PollsViewController::didDeletePoll(const dz::platform::Notification& notification) {
  applyRowChange(rowOf(notification.userInfo, "pollIndex"), -1);
}

void PollsViewController::applyRowChange(std::optional<size_t> row, int change) {
  // Rows the table has not loaded yet come from the store as it is now, the change included.
  tableView_->layoutIfNeeded();
  const int before = tableView_->numberOfRows(0);
  const int count = static_cast<int>(services_.polls()->pollsArray().size());
  if (before == count) return;
  const int last = change > 0 ? count : before;
  // Anything but the one step the store announced is brought in line by a reload.
  if (!row || before + change != count || static_cast<int>(*row) >= last) {
    tableView_->reloadData();
    return;
  }
  std::vector<IndexPath> rows{IndexPath{0, static_cast<int>(*row)}};
  if (change > 0) {
    tableView_->insertRows(rows, dz::ui::RowAnimation::Fade);
  } else {
    tableView_->deleteRows(rows, dz::ui::RowAnimation::Fade);
  }
}

void PollsViewController::updateCell(PollCardTableViewCell& cell, const PollPtr& poll) {
  std::optional<IndexPath> path = tableView_->indexPathForCell(&cell);
  dz::platform::logLine(std::string(className()) +
                        ": updating cell at index: " + std::to_string(path ? path->row : -1));
  std::optional<PollDiff> diffs;
  if (cell.poll()) diffs = cell.poll()->diffFromPoll(*poll);
  cell.setPoll(poll);
  cell.questionLabel()->setText(poll->questionString());
  cell.pollInfoStackView()->setUserInteractionEnabled(true);
  cell.setupSubviewsFacingUserWithId(uid());
  if (diffs) cell.animateDiffs(*diffs);
}

void PollsViewController::didChoosePollOption(const Option& option) {
  std::weak_ptr<PollsViewController> weak = self();
  PollPtr votedPoll = option.poll();
  const std::string pollId = votedPoll ? votedPoll->pollId() : std::string();
  services_.polls()->voteOnOption(option, [weak, pollId](const dz::ErrorPtr& error, bool changed,
                                                         const std::optional<DataSnapshot>&) {
    auto screen = weak.lock();
    if (!screen) return;
    if (error) {
      dz::platform::logLine(std::string(screen->className()) +
                            " error: " + error->localizedDescription());
      ProgressHUD::showErrorWithStatus(error->localizedDescription());
      return;
    }
    PollPtr poll = screen->services_.polls()->pollForPollId(pollId);
    if (poll && poll->type() == PollType::Direct && poll->senderId() != screen->uid()) {
      screen->services_.notifications()->sendVoteNotificationForPoll(*poll, changed);
    }
  });
}

void PollsViewController::livePollsSwitchChanged() {
  const bool on = livePollSwitch_->isOn();
  if (on) {
    getLocation();
  } else {
    auto polls = services_.polls();
    services_.locations()->stopLocalPolls();
    polls->removeAllPolls();
    tableView_->reloadData();
    polls->fetchDirectPolls();
    polls->fetchRecentPollsForCommunity();
  }
  environment_.defaults->setBool(on, layout::kLocalPollsOnDefault);
  localPollsOn_ = on;
  environment_.defaults->synchronize();
  if (auto user = environment_.signedInUid()) {
    environment_.rootRef()
        .child(layout::kUsers)
        .child(*user)
        .updateChildValues({{layout::kLocalPollsOn, on}});
  }
}

void PollsViewController::getLocation() {
  ProgressHUD::showInfoWithStatus(std::string(kUpdatingLocationStatus));
  services_.locations()->requestLocationOnce();
}

void PollsViewController::didMoveToForeground() {
  if (!localPollsOn_) return;
  std::weak_ptr<PollsViewController> weak = self();
  dz::ui::after(kLocationDelay, [weak] {
    if (auto screen = weak.lock()) screen->getLocation();
  });
}

void PollsViewController::didMoveToBackground() {
  if (localPollsOn_) services_.locations()->trackSignificantChanges();
}

void PollsViewController::createPollPressed() {
  present(dz::ui::Storyboard::named("Main").instantiateViewController("createVC"), false);
}

void PollsViewController::scrollViewDidEndDragging(dz::ui::ScrollView& scrollView, bool) {
  if (scrollView.contentOffset().y < 0) animateBolt();
}

void PollsViewController::animateBolt() {
  auto bolt = topBolt();
  if (!bolt) return;
  std::weak_ptr<dz::ui::ImageView> weak = bolt;
  dz::ui::View::animateWithSpring(
      0.5, 0, 0.5, 1000.0, dz::ui::kAnimationBeginFromCurrentState,
      [bolt] { bolt->setTransform(dz::ui::AffineTransform::makeScale(1.1, 1.1)); },
      [weak](bool) {
        auto bolt = weak.lock();
        if (!bolt) return;
        dz::ui::View::animate(0.2, 0, dz::ui::kAnimationBeginFromCurrentState,
                              [bolt] { bolt->setTransform(dz::ui::AffineTransform::identity()); });
      });
}

}  // namespace pollapp
