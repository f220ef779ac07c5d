// PollsViewController ("pollsVC"): the main screen, a list of poll cards newest first, built from
// the poll store's cache and kept in step with it through the store's notifications (rows
// inserted, updated in place, deleted). Option taps on the cards become votes; the local-polls
// switch adds the polls within 20 km; the ask button opens the compose screen; pulling the list
// down shows the bolt (the main bundle's image "bolt") waiting above the first row, and letting
// go past the top springs it. While on screen it observes the store and the application's
// foreground and background, and asks the application delegate to register for notifications
// each time it appears. Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/app_services.h"
#include "app/poll_card_cell.h"
#include "platform/notification_center.h"
#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/table_view.h"
#include "platform/ui/view_controller.h"

namespace pollapp {

inline constexpr char kPollsScreenIdentifier[] = "pollsVC";
inline constexpr char kUpdatingLocationStatus[] = "updating location";

class PollsViewController : public dz::ui::ViewController,
                            public dz::ui::TableViewDataSource,
                            public dz::ui::TableViewDelegate,
                            public PollCardTableViewCellDelegate {
 public:
  explicit PollsViewController(AppServices services = AppServices::current());
  ~PollsViewController() override;
  const char* className() const override { return "PollsViewController"; }

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;

  const std::shared_ptr<dz::ui::TableView>& tableView() const { return tableView_; }
  const std::shared_ptr<dz::ui::Switch>& livePollSwitch() const { return livePollSwitch_; }
  const std::shared_ptr<dz::ui::Button>& questionButton() const { return questionButton_; }
  std::shared_ptr<dz::ui::ImageView> topBolt() const { return topBolt_.lock(); }
  bool localPollsOn() const { return localPollsOn_; }

  // User actions.
  void livePollsSwitchChanged();
  void createPollPressed();
  void didChoosePollOption(const Option& option) override;

  // TableViewDataSource / TableViewDelegate.
  int numberOfRows(dz::ui::TableView&, int section) override;
  std::shared_ptr<dz::ui::TableViewCell> cellForRow(dz::ui::TableView& table,
                                                    const dz::ui::IndexPath& path) override;
  void scrollViewDidEndDragging(dz::ui::ScrollView& scrollView, bool willDecelerate) override;

 private:
  std::shared_ptr<PollsViewController> self();
  void setupTableView();
  void setupLocalPollsSwitch();
  // Asks the user store for the signed-in user's record, again each second until it is there.
  void readCurrentUser();
  void currentUserKnown();
  void askForPush();
  void getLocation();
  void didAddPoll(const dz::platform::Notification& notification);
  void didUpdatePoll(const dz::platform::Notification& notification);
  void didDeletePoll(const dz::platform::Notification& notification);
  // Inserts (+1) or deletes (-1) the row the store announced.
  void applyRowChange(std::optional<size_t> row, int change);
  void didMoveToForeground();
  void didMoveToBackground();
  void updateCell(PollCardTableViewCell& cell, const PollPtr& poll);
  void animateBolt();
  void stopObserving();
  std::string uid() const;

  const AppServices services_;
  const Environment environment_;
  std::shared_ptr<dz::ui::TableView> tableView_;
  std::shared_ptr<dz::ui::Switch> livePollSwitch_;
  std::shared_ptr<dz::ui::Button> questionButton_;
  std::weak_ptr<dz::ui::ImageView> topBolt_;
  bool localPollsOn_ = false;
  // Observers of the environment's center (the stores) and of the process's (the application).
  std::vector<dz::platform::NotificationCenter::ObserverToken> storeObservers_;
  std::vector<dz::platform::NotificationCenter::ObserverToken> applicationObservers_;
};

}  // namespace pollapp
