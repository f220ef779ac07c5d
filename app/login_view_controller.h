// LoginViewController ("loginVC"): sign in with e-mail and password, or sign up with names too.
// Sign-up takes only organisation addresses (see checkSignUpEmail): users meet by their domain.
// A new account gets its user record, with its experiment draw, before the polls screen comes.
// Whichever way the user becomes signed in, the screen presents the polls screen, once. Main
// thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/app_services.h"
#include "auth/auth.h"
#include "platform/ui/control.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/text_input.h"
#include "platform/ui/view_controller.h"

namespace pollapp {

inline constexpr char kLoginScreenIdentifier[] = "loginVC";
inline constexpr char kLoggingInStatus[] = "logging in";
inline constexpr char kSigningUpStatus[] = "signing up";
inline constexpr char kEnterAllFieldsStatus[] = "enter all fields";
inline constexpr char kInvalidEmailStatus[] = "invalid email";
inline constexpr char kUseOrganisationEmailStatus[] =
    "use your school/work email so your friends can find you";

class LoginViewController : public dz::ui::ViewController {
 public:
  // Draws 0 or 1 for each of the two random experiments.
  using Draw = std::function<int()>;

  explicit LoginViewController(AppServices services = AppServices::current());
  ~LoginViewController() override;
  const char* className() const override { return "LoginViewController"; }

  void loadView() override;
  void viewDidLoad() override;

  const std::shared_ptr<dz::ui::TextField>& firstNameTextField() const { return firstName_; }
  const std::shared_ptr<dz::ui::TextField>& lastNameTextField() const { return lastName_; }
  const std::shared_ptr<dz::ui::TextField>& emailTextField() const { return email_; }
  const std::shared_ptr<dz::ui::TextField>& passwordTextField() const { return password_; }
  const std::shared_ptr<dz::ui::StackView>& nameStackView() const { return names_; }
  const std::shared_ptr<dz::ui::Button>& signupLoginButton() const { return main_; }
  const std::shared_ptr<dz::ui::Button>& switchModeButton() const { return switch_; }
  bool isShowingLogin() const { return isShowingLogin_; }
  void setDraw(Draw draw) { draw_ = std::move(draw); }

  void signupLoginButtonPressed();
  void switchModeButtonPressed();
  void logIn();
  void signUp();
  dz::Value::Map createExperiments();

 private:
  std::shared_ptr<LoginViewController> self();
  void authStateChanged(const dz::auth::UserPtr& user);
  void writeUserRecord(const std::string& uid);
  void presentPolls();

  const AppServices services_;
  const Environment environment_;
  std::shared_ptr<dz::ui::TextField> firstName_, lastName_, email_, password_;
  std::shared_ptr<dz::ui::StackView> names_;
  std::shared_ptr<dz::ui::Button> main_, switch_;
  bool isShowingLogin_ = true;
  // While a sign-up is under way the record is written first; the feed comes after it.
  bool signingUp_ = false;
  bool presentedPolls_ = false;
  Draw draw_;
  dz::auth::ListenerHandle listener_{};
};

}  // namespace pollapp
