#include "app/environment.h"

#include "platform/exception.h"
#include "platform/wall_clock.h"

namespace pollapp {

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

double Environment::now() const { return dz::platform::wallClockSeconds(); }

}  // namespace pollapp
