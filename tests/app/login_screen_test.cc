// The sign-in and sign-up screen: the domain rule, the form's modes and refusals with their
// overlay texts, and against the development server a sign-up whose record is written before the
// polls screen is shown, once.
#include <gtest/gtest.h>

#include "app/login_view_controller.h"
#include "app/polls_view_controller.h"
#include "app/text_rules.h"
#include "tests/app/screen_fixture.h"

namespace pollapp::testing {
namespace {

TEST(SignUpEmailTest, DomainsAreOrganisationsOfTwoLabelsOrMore) {
  EXPECT_EQ(checkSignUpEmail("ann@w.x.y.z").domain, "y.z");
  EXPECT_EQ(checkSignUpEmail(" Ann@Mail.School.EDU\n").domain, "school.edu");
  EXPECT_FALSE(checkSignUpEmail("ann@school.edu").refusal);
  EXPECT_FALSE(checkSignUpEmail("ann@mailbox.test").refusal);
  // The blocked domains, their subdomains, and any piece of their names joined by commas.
  for (const char* refused :
       {"ann@freemail.test", "ann@eu.webmail.test", "ann@mail.test", "ann@Box.test", "ann@x.test",
        "ann@st,inbox.test", "ann@school", "ann@school..edu", "ann@.edu", "ann@school.edu."}) {
    EXPECT_EQ(checkSignUpEmail(refused).refusal, EmailRefusal::NotOrganisation) << refused;
  }
  for (const char* invalid : {"ann", "ann@school@edu", "@school.edu"}) {
    EXPECT_EQ(checkSignUpEmail(invalid).refusal, EmailRefusal::InvalidEmail) << invalid;
  }
}

class LoginScreenTest : public ScreenTest {
 protected:
  void TearDown() override {
    screen_.reset();
    ScreenTest::TearDown();
    if (app_) app_->deleteApp();
  }

  // The screen on a device of its own where nobody is signed in yet.
  std::shared_ptr<LoginViewController> open() {
    dz::core::Options options;
    options.databaseURL = server_->databaseUrl();
    options.APIKey = kAPIKey;
    options.vivuroAppID = "1:dz:test";
    dz::core::App::configure("login-test", options);
    app_ = dz::core::App::appNamed("login-test");
    environment_.app = app_;
    environment_.notificationCenter = std::make_shared<dz::platform::NotificationCenter>();
    environment_.defaults = dz::platform::UserDefaults::create(sandbox_.root() / "login.json");
    AppServices::current().environment = [environment = environment_] { return environment; };
    screen_ = show(std::make_shared<LoginViewController>());
    return screen_;
  }

  static void fill(LoginViewController& screen, const std::string& first, const std::string& last,
                   const std::string& email, const std::string& password) {
    screen.firstNameTextField()->insertText(first);
    screen.lastNameTextField()->insertText(last);
    screen.emailTextField()->insertText(email);
    screen.passwordTextField()->insertText(password);
  }

  dz::core::AppPtr app_;
  Environment environment_;
  std::shared_ptr<LoginViewController> screen_;
};

TEST_F(LoginScreenTest, ModesAndRefusals) {
  auto screen = open();
  EXPECT_TRUE(screen->nameStackView()->isHidden());
  screen->switchModeButton()->simulateTap();
  EXPECT_FALSE(screen->nameStackView()->isHidden());
  EXPECT_EQ(screen->switchModeButton()->currentTitle(), "back to login");
  EXPECT_EQ(screen->signupLoginButton()->currentTitle(), "sign up");

  fill(*screen, "Ann", "", "ann@freemail.test", "secret-1");
  screen->signupLoginButton()->simulateTap();
  EXPECT_TRUE(hudShows(kUseOrganisationEmailStatus));
  screen->emailTextField()->setText("ann@school.edu");
  screen->signupLoginButton()->simulateTap();
  EXPECT_TRUE(hudShows(kEnterAllFieldsStatus));
  screen->emailTextField()->setText("ann@x@school.edu");
  screen->signupLoginButton()->simulateTap();
  EXPECT_TRUE(hudShows(kInvalidEmailStatus));

  screen->switchModeButton()->simulateTap();
  EXPECT_EQ(screen->switchModeButton()->currentTitle(), "need to sign up?");
  EXPECT_EQ(screen->signupLoginButton()->currentTitle(), "log in");
  screen->passwordTextField()->setText("");
  screen->signupLoginButton()->simulateTap();
  EXPECT_TRUE(hudShows(kEnterAllFieldsStatus));
  EXPECT_EQ(environment_.auth()->currentUser(), nullptr);
}

// The address goes as typed, blanks and all: the server refuses it and the overlay says so.
TEST_F(LoginScreenTest, LoggingInWithAnAddressOfBlanksEndsInTheServersRefusal) {
  auto screen = open();
  screen->emailTextField()->insertText("   ");
  screen->passwordTextField()->insertText("secret-1");
  EXPECT_NO_THROW(screen->signupLoginButton()->simulateTap());
  EXPECT_TRUE(hudShows("The email address is badly formatted."));
  EXPECT_EQ(environment_.auth()->currentUser(), nullptr);
}

TEST_F(LoginScreenTest, SignUpWritesTheRecordThenShowsTheFeedOnce) {
  auto screen = open();
  screen->setDraw([] { return 0; });
  int shown = 0;
  bool recordWritten = false;
  dz::ui::Storyboard::named(kMainStoryboard).registerViewController(kPollsScreenIdentifier, [&] {
    ++shown;
    recordWritten = serverValue("/users/" + environment_.signedInUid().value_or("?")).isMap();
    return std::make_shared<dz::ui::ViewController>();
  });
  screen->switchModeButtonPressed();
  fill(*screen, "Ann", "Lee", " Ann@Mail.School.EDU", "secret-1");
  screen->signupLoginButton()->simulateTap();
  ASSERT_TRUE(waitFor([&] { return shown == 1; }));
  EXPECT_TRUE(recordWritten);
  Value record = serverValue("/users/" + *environment_.signedInUid());
  EXPECT_EQ(record["domain"], Value("school.edu"));
  EXPECT_EQ(record["emailAddress"], Value("Ann@Mail.School.EDU"));
  EXPECT_EQ(record["localPollsOn"], Value(false));
  EXPECT_EQ(record["experiments"]["allowMultiplePollVotes"], Value(true));
  EXPECT_EQ(record["experiments"]["revealPollVotersOnPoll"], Value(true));
  EXPECT_EQ(record["experiments"]["showPollCreator"], Value(true));
  EXPECT_TRUE(record["createdAt"].isNumber());

  // Signing in again changes the state once more; the feed is not shown a second time.
  bool signedIn = false;
  environment_.auth()->signInWithEmail(
      "Ann@Mail.School.EDU", "secret-1",
      [&](dz::auth::UserPtr user, dz::ErrorPtr) { signedIn = user != nullptr; });
  ASSERT_TRUE(waitFor([&] { return signedIn; }));
  bool settled = false;
  dz::platform::DispatchQueue::main()->async([&] { settled = true; });
  ASSERT_TRUE(waitFor([&] { return settled; }));
  EXPECT_EQ(shown, 1);
}

}  // namespace
}  // namespace pollapp::testing
