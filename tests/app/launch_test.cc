// Launch against the development server: a fresh installation signs out a user left in the key
// chain and shows the sign-in screen; a later launch with a signed-in user shows the polls screen;
// the device token the platform hands over lands in the user's record.
#include <gtest/gtest.h>

#include <optional>

#include "app/app_delegate.h"
#include "app/login_view_controller.h"
#include "app/polls_view_controller.h"
#include "app/update_manager.h"
#include "platform/foundation_version.h"
#include "tests/app/screen_fixture.h"
#include "tests/support/scoped_environment.h"

namespace pollapp::testing {
namespace {

class LaunchTest : public ScreenTest {
 protected:
  void SetUp() override {
    ScreenTest::SetUp();
    updateServer_.emplace("DZ_UPDATE_SERVER", server_->updateServerUrl().c_str());
    dz::core::Options options;
    options.databaseURL = server_->databaseUrl();
    options.APIKey = kAPIKey;
    options.vivuroAppID = "1:dz:test";
    dz::auth::registerAuthLibrary();
    dz::core::App::configure(options);
  }
  void TearDown() override {
    ScreenTest::TearDown();
    dz::database::Database::databaseForApp(dz::core::App::defaultApp())->goOffline();
    dz::core::App::defaultApp()->deleteApp();
    updateServer_.reset();
  }

  dz::ui::ViewController* launch() {
    auto& application = dz::ui::Application::shared();
    EXPECT_TRUE(application.launch(AppDelegate::create()));
    return application.keyWindow()->rootViewController().get();
  }

  static void signIn(bool create) {
    bool done = false;
    auto completion = [&](dz::auth::UserPtr user, dz::ErrorPtr error) {
      EXPECT_EQ(error, nullptr);
      done = user != nullptr;
    };
    if (create) {
      dz::auth::Auth::auth()->createUserWithEmail("ann@school.edu", "secret-1", completion);
    } else {
      dz::auth::Auth::auth()->signInWithEmail("ann@school.edu", "secret-1", completion);
    }
    ASSERT_TRUE(waitFor([&] { return done; }));
  }

  std::optional<dz::testing::ScopedEnvironment> updateServer_;
};

TEST_F(LaunchTest, FirstLaunchSignsOutLaterLaunchesShowTheFeedAndTokensAreStored) {
  signIn(true);
  const std::string uid = dz::auth::Auth::auth()->currentUser()->uid();
  dz::database::Database::database()->reference().child("users").child(uid).setValue(
      Value::Map{{"firstName", "Ann"}, {"domain", "school.edu"}});
  EXPECT_NE(dynamic_cast<LoginViewController*>(launch()), nullptr);
  EXPECT_EQ(dz::auth::Auth::auth()->currentUser(), nullptr);

  signIn(false);
  auto* feed = dynamic_cast<PollsViewController*>(launch());
  ASSERT_NE(feed, nullptr);
  EXPECT_EQ(feed->appearance(), dz::ui::ViewController::Appearance::Appeared);
  // The feed asks for notification permission as it appears.
  EXPECT_FALSE(dz::ui::UserNotificationCenter::current().requests().empty());

  dz::ui::Application::shared().deliverDeviceToken({0xab, 0x01, 0xff});
  EXPECT_TRUE(
      waitFor([&] { return serverValue("/users/" + uid + "/deviceToken") == Value("ab01ff"); }));
  // The update check ran and found the running version current (no alert).
  EXPECT_TRUE(
      waitFor([] { return !UpdateManager::sharedManager()->currentServerVersion().empty(); }));
  dz::ui::Application::shared().terminate();
}

// Older platforms have no user-notification center: permission goes through the application's
// settings registration, and neither the center nor messaging gets the delegate.
TEST(NotificationPermission, OlderPlatformsRegisterSettingsNewerOnesAskTheCenter) {
  auto& application = dz::ui::Application::shared();
  auto& center = dz::ui::UserNotificationCenter::current();
  application.reset();
  center.reset();
  auto delegate = AppDelegate::create();

  dz::platform::setFoundationVersionNumber(1299.9);
  delegate->registerForNotifications();
  EXPECT_EQ(application.notificationSettingsRegistrations(), std::vector<unsigned>{7});
  EXPECT_TRUE(center.requests().empty());
  EXPECT_EQ(center.delegate(), nullptr);

  dz::platform::setFoundationVersionNumber(1300);
  delegate->registerForNotifications();
  EXPECT_EQ(application.notificationSettingsRegistrations().size(), 1u);
  EXPECT_EQ(center.requests(), std::vector<unsigned>{7});
  EXPECT_EQ(center.delegate(), delegate);
  EXPECT_EQ(dz::messaging::Messaging::messaging().remoteMessageDelegate(), delegate);

  dz::platform::setFoundationVersionNumber(dz::platform::kFoundationVersionNumberDefault);
  application.reset();
  center.reset();
}

}  // namespace
}  // namespace pollapp::testing
