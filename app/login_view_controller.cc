#include "app/login_view_controller.h"

#include <random>

#include "app/database_layout.h"
#include "app/form_field.h"
#include "app/option_button.h"
#include "app/polls_view_controller.h"
#include "app/text_rules.h"
#include "hud/progress_hud.h"
#include "platform/log.h"
#include "platform/ui/label.h"
#include "platform/ui/window.h"

namespace pollapp {

using dz::hud::ProgressHUD;
using dz::ui::Color;
using dz::ui::Rect;

namespace {

int uniformBit() {
  static std::mt19937 engine{std::random_device{}()};
  return static_cast<int>(std::uniform_int_distribution<int>(0, 1)(engine));
}

}  // namespace

LoginViewController::LoginViewController(AppServices services)
    : services_(std::move(services)), environment_(services_.environment()), draw_(uniformBit) {}

LoginViewController::~LoginViewController() {
  if (listener_) environment_.auth()->removeAuthStateDidChangeListener(listener_);
}

std::shared_ptr<LoginViewController> LoginViewController::self() {
  return std::static_pointer_cast<LoginViewController>(shared_from_this());
}

void LoginViewController::loadView() {
  const Rect bounds = dz::ui::Screen::main().bounds();
  const double width = bounds.size.width - 48;
  auto root = std::make_shared<dz::ui::View>(bounds);
  root->setBackgroundColor(Color::whiteColor());
  auto title = std::make_shared<dz::ui::Label>(Rect::make(24, 90, width, 44));
  title->setText("polls");
  title->setFont(dz::ui::Font::boldSystem(36));
  title->setTextColor(kAccentColor);
  title->setTextAlignment(dz::ui::TextAlignment::Center);
  root->addSubview(title);

  firstName_ = std::make_shared<FormField>("first name");
  lastName_ = std::make_shared<FormField>("last name");
  email_ = std::make_shared<FormField>("school or work email");
  password_ = std::make_shared<FormField>("password");
  password_->setSecureTextEntry(true);
  names_ = std::make_shared<dz::ui::StackView>(
      std::vector<std::shared_ptr<dz::ui::View>>{firstName_, lastName_});
  names_->setAxis(dz::ui::Axis::Horizontal);
  names_->setSpacing(8);
  names_->setDistribution(dz::ui::StackDistribution::FillEqually);
  names_->setFixedHeight(FormField::kHeight);
  main_ = std::make_shared<dz::ui::Button>(dz::ui::Button::Type::Custom);
  main_->setTitle("log in");
  main_->setTitleColor(Color::whiteColor());
  main_->setBackgroundColor(kAccentColor);
  main_->layer()->setCornerRadius(FormField::kHeight / 2);
  main_->setFixedHeight(FormField::kHeight);
  switch_ = std::make_shared<dz::ui::Button>();
  switch_->setTitle("need to sign up?");
  switch_->setFixedHeight(FormField::kHeight);
  auto form = std::make_shared<dz::ui::StackView>(
      std::vector<std::shared_ptr<dz::ui::View>>{names_, email_, password_, main_, switch_},
      Rect::make(24, 170, width, 5 * FormField::kHeight + 4 * 12));
  form->setAxis(dz::ui::Axis::Vertical);
  form->setSpacing(12);
  root->addSubview(form);
  setView(root);
}

void LoginViewController::viewDidLoad() {
  isShowingLogin_ = true;
  names_->setHidden(true);
  std::weak_ptr<LoginViewController> weak = self();
  main_->addTarget(dz::ui::kTouchUpInside, [weak](dz::ui::Control&, const dz::ui::Event&) {
    if (auto screen = weak.lock()) screen->signupLoginButtonPressed();
  });
  switch_->addTarget(dz::ui::kTouchUpInside, [weak](dz::ui::Control&, const dz::ui::Event&) {
    if (auto screen = weak.lock()) screen->switchModeButtonPressed();
  });
  listener_ = environment_.auth()->addAuthStateDidChangeListener(
      [weak](const std::shared_ptr<dz::auth::Auth>&, dz::auth::UserPtr user) {
        if (auto screen = weak.lock()) screen->authStateChanged(user);
      });
}

void LoginViewController::authStateChanged(const dz::auth::UserPtr& user) {
  // The sign-up path shows the feed itself, once the user's record is written.
  if (user && !signingUp_) presentPolls();
}

void LoginViewController::presentPolls() {
  // The listener hears every token refresh too; the feed is shown once.
  if (presentedPolls_) return;
  presentedPolls_ = true;
  auto polls = dz::ui::Storyboard::named("Main").instantiateViewController(kPollsScreenIdentifier);
  polls->setModalTransitionStyle(dz::ui::ModalTransitionStyle::CrossDissolve);
  present(polls, true);
}

void LoginViewController::switchModeButtonPressed() {
  names_->setHidden(!isShowingLogin_);
  switch_->setTitle(isShowingLogin_ ? "back to login" : "need to sign up?");
  main_->setTitle(isShowingLogin_ ? "sign up" : "log in");
  isShowingLogin_ = !isShowingLogin_;
}

void LoginViewController::signupLoginButtonPressed() {
  if (isShowingLogin_) {
    logIn();
  } else {
    signUp();
  }
}

void LoginViewController::logIn() {
  ProgressHUD::showWithStatus(std::string(kLoggingInStatus));
  if (email_->text().empty() || password_->text().empty()) {
    ProgressHUD::showErrorWithStatus(std::string(kEnterAllFieldsStatus));
    return;
  }
  // As typed, as checked: the server judges the address (blanks included) and answers through
  // the completion.
  environment_.auth()->signInWithEmail(
      email_->text(), password_->text(), [](dz::auth::UserPtr, dz::ErrorPtr error) {
        if (error) {
          dz::platform::logLine("error: " + error->localizedDescription());
          ProgressHUD::showErrorWithStatus(error->localizedDescription());
          return;
        }
        ProgressHUD::dismiss();
      });
}

void LoginViewController::signUp() {
  EmailCheck check = checkSignUpEmail(email_->text());
  if (check.refusal == EmailRefusal::InvalidEmail) {
    ProgressHUD::showErrorWithStatus(std::string(kInvalidEmailStatus));
    return;
  }
  if (check.refusal == EmailRefusal::NotOrganisation) {
    ProgressHUD::showErrorWithStatus(std::string(kUseOrganisationEmailStatus));
    return;
  }
  if (email_->text().empty() || password_->text().empty() || trimmed(firstName_->text()).empty() ||
      trimmed(lastName_->text()).empty()) {
    ProgressHUD::showErrorWithStatus(std::string(kEnterAllFieldsStatus));
    return;
  }
  ProgressHUD::showWithStatus(std::string(kSigningUpStatus));
  signingUp_ = true;
  std::weak_ptr<LoginViewController> weak = self();
  environment_.auth()->createUserWithEmail(
      trimmed(email_->text()), password_->text(),
      [weak](dz::auth::UserPtr user, dz::ErrorPtr error) {
        auto screen = weak.lock();
        if (!screen) return;
        if (error || !user) {
          screen->signingUp_ = false;
          std::string description = error ? error->localizedDescription() : "no user";
          dz::platform::logLine("error: " + description);
          ProgressHUD::showErrorWithStatus(description);
          return;
        }
        ProgressHUD::dismiss();
        dz::platform::logLine("Successfully created user account with uid: " + user->uid());
        screen->writeUserRecord(user->uid());
      });
}

void LoginViewController::writeUserRecord(const std::string& uid) {
  const std::string email = trimmed(email_->text());
  dz::Value::Map record{
      {layout::kFirstName, trimmed(firstName_->text())},
      {layout::kLastName, trimmed(lastName_->text())},
      {layout::kEmailAddress, email},
      {layout::kDomain, checkSignUpEmail(email).domain},
      {layout::kLocalPollsOn, false},
      {layout::kExperiments, createExperiments()},
      {layout::kCreatedAt, environment_.now()},
  };
  std::weak_ptr<LoginViewController> weak = self();
  environment_.rootRef()
      .child(layout::kUsers)
      .child(uid)
      .setValue(record, [weak](const dz::ErrorPtr& error, const dz::database::DatabaseReference&) {
        auto screen = weak.lock();
        if (!screen) return;
        if (error) dz::platform::logLine("error: " + error->localizedDescription());
        screen->signingUp_ = false;
        screen->presentPolls();
      });
}

dz::Value::Map LoginViewController::createExperiments() {
  const bool allowMultiple = draw_() == 0;
  const bool revealVoters = draw_() == 0;
  return {
      {layout::kAllowMultiplePollVotes, allowMultiple},
      {layout::kShowPollCreator, true},
      {layout::kShowPollVoter, true},
      {layout::kRevealPollCreatorOnPoll, true},
      {layout::kRevealPollVotersOnPoll, revealVoters},
  };
}

}  // namespace pollapp
