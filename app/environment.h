// Environment: what the application's stores take from the process: the app (its signed-in user
// and its database), the notification center they post on, the user defaults they keep settings
// in. The process's stores use standard(): the default app, the default center
// and the standard defaults. Tests give each simulated device an app, a center and defaults of
// its own, so several devices run side by side in one process. A plain value; main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "auth/auth.h"
#include "core/app.h"
#include "database/api/database.h"
#include "platform/notification_center.h"
#include "platform/user_defaults.h"

namespace pollapp {

struct Environment {
  dz::core::AppPtr app;
  std::shared_ptr<dz::platform::NotificationCenter> notificationCenter;
  std::shared_ptr<dz::platform::UserDefaults> defaults;

  // The default app's. Throws dz::Exception "DZAppNotConfigured" when it is not configured.
  static Environment standard();

  dz::auth::AuthPtr auth() const;
  dz::database::DatabaseReference rootRef() const;
  // The uid of the signed-in user, or none.
  std::optional<std::string> signedInUid() const;
  dz::platform::NotificationCenter& center() const;
  // Seconds since 1970 on the process's wall clock.
  double now() const;
};

}  // namespace pollapp
