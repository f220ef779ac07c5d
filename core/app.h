// App: one configured app instance, with its name and options. Apps are identity objects held by
// std::shared_ptr; the process-wide registry maps names to apps under one lock. Configuring an app
// announces it on the default NotificationCenter so that the client libraries set themselves up;
// deleting it announces that too. Both announcements are posted synchronously on the caller's
// thread with App::classIdentity() as sender. All methods are thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/options.h"
#include "platform/error.h"

namespace dz::core {

inline constexpr char kDefaultAppName[] = "__DZAPP_DEFAULT";
inline constexpr char kCoreExceptionName[] = "com.vivuro.core";
inline constexpr char kConsoleURL[] = "https://console.vivuro.com/";

// Posted when an app has been configured; userInfo {kAppNameKey, kVivuroAppIDKey}.
inline constexpr char kAppReadyToConfigureSDKNotification[] =
    "DZAppReadyToConfigureSDKNotification";
// Posted when an app has been deleted; userInfo {kAppNameKey}.
inline constexpr char kAppDeleteNotification[] = "DZAppDeleteNotification";
inline constexpr char kAppNameKey[] = "DZAppNameKey";
inline constexpr char kVivuroAppIDKey[] = "DZVivuroAppIDKey";

// Posted by authentication when the signed-in user or its access token changes, with the App of
// that authentication object as sender (the App's address, App* as const void*), so that a
// listener filters on its own app without knowing the authentication object. userInfo holds the
// access token under kAuthStateDidChangeInternalNotificationTokenKey when there is one (a
// non-empty string) and is empty otherwise. Kept here because the database and authentication
// meet only through the core.
inline constexpr char kAuthStateDidChangeInternalNotification[] =
    "DZAuthStateDidChangeInternalNotification";
inline constexpr char kAuthStateDidChangeInternalNotificationTokenKey[] =
    "DZAuthStateDidChangeInternalNotificationTokenKey";

inline constexpr char kCoreLogTag[] = "[Dezuvura/Core]";

class App;
using AppPtr = std::shared_ptr<App>;

// Answers a token request: the token (none when signed out) or an error.
using GetTokenCallback = std::function<void(std::optional<std::string> token, ErrorPtr error)>;
// Installed by authentication; answers later, on a thread of its own choosing.
using GetTokenImplementation = std::function<void(bool forceRefresh, GetTokenCallback callback)>;

class App {
 public:
  // Configures the default app from the options file of the main bundle's resources. Throws
  // dz::Exception kCoreExceptionName when there is no valid options file, and as
  // configure(name, options) does.
  static void configure();
  // Configures the default app with `options`.
  static void configure(const Options& options);
  // Configures the app `name`. Throws dz::Exception kCoreExceptionName for an empty name or one
  // already configured (a second app under one name would leave the client libraries attached to
  // the first).
  static void configure(const std::string& name, const Options& options);

  // The default app, or null (logging "I-COR000003") when it is not configured.
  static AppPtr defaultApp();
  // The app configured under `name`, or null (logging "I-COR000004") when there is none.
  static AppPtr appNamed(std::string_view name);

  // The sender of the app announcements: an address standing for the class itself, for
  // NotificationCenter sender filters.
  static const void* classIdentity();

  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Removes this app from the registry (when it is still the one registered under its name) and
  // posts kAppDeleteNotification. Holders of the app may keep using it.
  void deleteApp();

  const std::string& name() const { return name_; }
  const Options& options() const { return options_; }

  // Stores `implementation`, replacing any earlier one.
  void setGetTokenImplementation(GetTokenImplementation implementation);
  // Asks the stored implementation; without one, calls `callback` at once on this thread with
  // (none, none).
  void getTokenForcingRefresh(bool forceRefresh, GetTokenCallback callback) const;

 private:
  App(std::string name, Options options);

  const std::string name_;
  const Options options_;
  mutable std::mutex tokenMutex_;
  GetTokenImplementation getToken_;
};

}  // namespace dz::core
