#include "app/shared_stores.h"

#include <memory>

#include "app/location_storage.h"
#include "app/notification_storage.h"
#include "app/poll_storage.h"
#include "app/user_storage.h"

namespace pollapp {
namespace {

// Main thread only, as the stores are.
struct SharedStores {
  std::shared_ptr<UserStorage> users;
  std::shared_ptr<PollStorage> polls;
  std::shared_ptr<NotificationStorage> notifications;
  std::shared_ptr<LocationStorage> locations;
};

SharedStores& shared() {
  static SharedStores* stores = new SharedStores();
  return *stores;
}

}  // namespace

void resetSharedStores() { shared() = SharedStores(); }

std::shared_ptr<UserStorage> UserStorage::sharedManager() {
  auto& stores = shared();
  if (!stores.users) stores.users = create(Environment::standard());
  return stores.users;
}

std::shared_ptr<PollStorage> PollStorage::sharedManager() {
  auto& stores = shared();
  if (!stores.polls) stores.polls = create(Environment::standard(), UserStorage::sharedManager());
  return stores.polls;
}

std::shared_ptr<NotificationStorage> NotificationStorage::sharedManager() {
  auto& stores = shared();
  if (!stores.notifications) {
    stores.notifications = create(Environment::standard(), UserStorage::sharedManager());
  }
  return stores.notifications;
}

std::shared_ptr<LocationStorage> LocationStorage::sharedManager() {
  auto& stores = shared();
  if (!stores.locations) {
    stores.locations = create(Environment::standard(), PollStorage::sharedManager());
  }
  return stores.locations;
}

}  // namespace pollapp
