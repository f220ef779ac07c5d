#include "app/app_services.h"

namespace pollapp {

AppServices AppServices::shared() {
  return {&Environment::standard, &UserStorage::sharedManager, &PollStorage::sharedManager,
          &NotificationStorage::sharedManager, &LocationStorage::sharedManager};
}

AppServices& AppServices::current() {
  static AppServices* services = new AppServices(shared());
  return *services;
}

}  // namespace pollapp
