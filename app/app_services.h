// AppServices: what the screens reach beyond their own views: the environment (app, auth,
// database, notification center, defaults, clock) and the device's stores, made when first asked
// for (the stores need a signed-in user). The process uses current() as the application delegate
// leaves it: the shared stores over the default app. Tests put a device of their own in place
// before they make screens. Screens copy it when they are made. Main thread only.
#pragma once

#include <functional>
#include <memory>

#include "app/environment.h"
#include "app/location_storage.h"
#include "app/notification_storage.h"
#include "app/poll_storage.h"
#include "app/user_storage.h"

namespace pollapp {

struct AppServices {
  std::function<Environment()> environment;
  std::function<std::shared_ptr<UserStorage>()> users;
  std::function<std::shared_ptr<PollStorage>()> polls;
  std::function<std::shared_ptr<NotificationStorage>()> notifications;
  std::function<std::shared_ptr<LocationStorage>()> locations;

  // The process's: Environment::standard() and each store's sharedManager().
  static AppServices shared();
  // What screens made from now on use.
  static AppServices& current();
};

}  // namespace pollapp
