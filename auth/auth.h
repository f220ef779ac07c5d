// Auth: the per-app entry object of authentication. There is one per configured app, made when
// the app announces itself (after registerAuthLibrary()) or on first request, and kept for the
// app's life. It restores the signed-in user from the key chain, runs the sign-up and sign-in
// flows against the authentication server, signs out, tells listeners and the database when the
// user or its access token changes, and installs the app's token getter.
//
// Threads: every flow runs on the global work queue, where the server's answers arrive; public
// completions, listeners and both state notifications run on the main queue. currentUser() may
// be read from any thread. signOut() waits on the global work queue and must not be called on it.
// Misuse (a missing listener or credential, an empty e-mail for a password reset or provider
// query) throws dz::Exception kInvalidArgumentException on the caller's thread before anything is
// queued. An empty e-mail, password or custom token for a sign-in or sign-up is sent: the server's
// refusal (for example 17008) reaches the completion.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auth/auth_keychain.h"
#include "auth/credentials.h"
#include "auth/user.h"
#include "core/app.h"
#include "platform/notification_center.h"
#include "platform/thread_annotations.h"

namespace dz::auth {

// Posted on the main queue with the Auth as sender and no user info whenever the signed-in user
// or its tokens change (and with no sender when an app is deleted).
inline constexpr char kAuthStateDidChangeNotification[] = "DZAuthStateDidChangeNotification";
inline constexpr char kAuthRegistrationKey[] = "DZAuth";
inline constexpr char kAuthLogTag[] = "[Dezuvura/Auth]";

using AuthResultCallback = std::function<void(UserPtr user, ErrorPtr error)>;
using ProviderQueryCallback =
    std::function<void(std::optional<std::vector<std::string>> providers, ErrorPtr error)>;
using AuthStateListener = std::function<void(const std::shared_ptr<Auth>& auth, UserPtr user)>;
using ListenerHandle = platform::NotificationCenter::ObserverToken;

// Makes every app configured from now on get its Auth (and so its token getter and restored
// user) when it announces itself, and removes an app's stored user when the app is deleted. The
// program calls it once at start-up, before App::configure(); later calls do nothing.
void registerAuthLibrary();

class Auth : public std::enable_shared_from_this<Auth> {
 public:
  // The Auth of the default app; null when no default app is configured.
  static std::shared_ptr<Auth> auth();
  // The Auth of `app`, made on first request. Throws dz::Exception for a null app.
  static std::shared_ptr<Auth> authWithApp(const core::AppPtr& app);

  static void setKeychainServiceNameForApp(const core::App& app);
  static std::optional<std::string> keychainServiceNameForAppName(const std::string& appName);
  static void deleteKeychainServiceNameForAppName(const std::string& appName);

  ~Auth();
  Auth(const Auth&) = delete;
  Auth& operator=(const Auth&) = delete;

  // ---- Public operations: completions (optional) on the main queue. ----
  void signInWithEmail(const std::string& email, const std::string& password,
                       AuthResultCallback completion = {});
  void signInWithCredential(AuthCredentialPtr credential, AuthResultCallback completion = {});
  void signInAnonymously(AuthResultCallback completion = {});
  void signInWithCustomToken(const std::string& token, AuthResultCallback completion = {});
  void createUserWithEmail(const std::string& email, const std::string& password,
                           AuthResultCallback completion = {});
  void fetchProvidersForEmail(const std::string& email, ProviderQueryCallback completion = {});
  void sendPasswordResetWithEmail(const std::string& email, ErrorCompletion completion = {});
  // True when signed out; false with `error` (when given) set when the stored user could not be
  // removed (the user then stays signed in).
  bool signOut(ErrorPtr* error = nullptr);
  // Calls `listener` on the main queue now (with the present user) and after every change.
  ListenerHandle addAuthStateDidChangeListener(AuthStateListener listener);
  void removeAuthStateDidChangeListener(ListenerHandle handle);

  UserPtr currentUser() const;
  core::AppPtr app() const { return app_.lock(); }
  const std::string& APIKey() const { return APIKey_; }

  // ---- For the other parts of authentication (global work queue). ----
  void signInWithCredentialInternal(AuthCredentialPtr credential, AuthResultCallback callback);
  void signInWithEmailInternal(const std::string& email, const std::string& password,
                               AuthResultCallback callback);
  void completeSignIn(std::string accessToken, std::optional<double> expirationDate,
                      std::string refreshToken, bool anonymous, AuthResultCallback callback);
  AuthResultCallback signInFlowAuthResultCallbackByDecoratingCallback(
      AuthResultCallback completion);
  // Null on success. With byForce the switch happens even when saving failed (the error is still
  // returned).
  ErrorPtr updateCurrentUser(UserPtr user, bool byForce, bool savingToDisk);
  ErrorPtr saveUser(const UserPtr& user);
  // The stored user (null when none); an error when the key chain fails. A stored entry that
  // cannot be decoded is logged and removed, and reads as none.
  UserPtr getUser(ErrorPtr& error);
  ErrorPtr updateKeychainWithUser(const UserPtr& user);
  void notifyListenersOfAuthStateChange(const UserPtr& user, const std::string& token);
  ErrorPtr signOutByForceWithUserID(const std::string& userID);

 private:
  Auth(const core::AppPtr& app);
  void installTokenGetter(const core::AppPtr& app);
  std::string userKey() const;
  // Runs `flow` on the global work queue with the completion wrapped as a sign-in result.
  void runSignInFlow(AuthResultCallback completion,
                     std::function<void(AuthResultCallback wrapped)> flow);

  const std::weak_ptr<core::App> app_;
  const core::App* appIdentity_;
  const std::string APIKey_;
  const std::string appName_;
  std::unique_ptr<AuthKeychain> keychain_;
  mutable platform::Mutex userMutex_;
  UserPtr currentUser_ DZ_GUARDED_BY(userMutex_);
  platform::Mutex listenerMutex_;
  std::vector<ListenerHandle> listenerHandles_ DZ_GUARDED_BY(listenerMutex_);
};
using AuthPtr = std::shared_ptr<Auth>;

}  // namespace dz::auth
