#include "app/environment.h"

#include <chrono>

#include "platform/exception.h"

namespace pollapp {

double systemTimeSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Environment Environment::standard() {
  Environment environment;
  environment.app = dz::core::App::defaultApp();
  if (!environment.app) {
    throw dz::Exception("DZAppNotConfigured", "The default app has not been configured yet.");
  }
  // The process's center lives until exit; the pointer must not delete it.
  environment.notificationCenter = std::shared_ptr<dz::platform::NotificationCenter>(
      &dz::platform::NotificationCenter::defaultCenter(), [](dz::platform::NotificationCenter*) {});
  environment.defaults = dz::platform::UserDefaults::standard();
  return environment;
}

dz::auth::AuthPtr Environment::auth() const { return dz::auth::Auth::authWithApp(app); }

dz::database::DatabaseReference Environment::rootRef() const {
  return dz::database::Database::databaseForApp(app)->reference();
}

std::optional<std::string> Environment::signedInUid() const {
  dz::auth::UserPtr user = auth()->currentUser();
  if (!user) return std::nullopt;
  return user->uid();
}

dz::platform::NotificationCenter& Environment::center() const {
  return notificationCenter ? *notificationCenter
                            : dz::platform::NotificationCenter::defaultCenter();
}

double Environment::now() const { return clock ? clock() : systemTimeSeconds(); }

}  // namespace pollapp
