#include "core/app_association_registration.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/exception.h"

namespace dz::core {
namespace {

struct Registrations {
  // Keyed by the host's control block, so a dead host's entry never matches a new object that
  // happens to reuse its address.
  std::map<std::weak_ptr<const void>, std::map<std::string, std::shared_ptr<void>>,
           std::owner_less<std::weak_ptr<const void>>>
      byHost;

  void dropDeadHosts() {
    std::erase_if(byHost, [](const auto& entry) { return entry.first.expired(); });
  }
};

std::recursive_mutex& registrationLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

Registrations& registrations() {
  static auto* table = new Registrations;
  return *table;
}

// The placeholder of a pair whose creation closure is running. Only the thread holding the lock
// can see it, so meeting it means the closure asked for its own pair.
const std::shared_ptr<void>& creationPlaceholder() {
  static auto* placeholder = new std::shared_ptr<void>(std::make_shared<char>(0));
  return *placeholder;
}

std::string reentryReason(const void* host, const std::string& key) {
  char address[32];
  std::snprintf(address, sizeof address, "%p", host);
  return std::string("host: ") + address + " key: " + key;
}

}  // namespace

std::shared_ptr<void> AppAssociationRegistration::registeredObject(
    const std::shared_ptr<const void>& host, const std::string& key,
    const std::function<std::shared_ptr<void>()>& create) {
  std::lock_guard<std::recursive_mutex> guard(registrationLock());
  Registrations& table = registrations();
  table.dropDeadHosts();

  auto& objects = table.byHost[host];
  if (auto found = objects.find(key); found != objects.end()) {
    if (found->second == creationPlaceholder()) {
      throw Exception(kReenteringRegistrationException, reentryReason(host.get(), key));
    }
    return found->second;
  }

  objects[key] = creationPlaceholder();
  std::shared_ptr<void> created;
  try {
    created = create();
  } catch (...) {
    // `objects` may have moved while the closure registered other hosts; look it up again.
    table.byHost[host].erase(key);
    throw;
  }
  auto& current = table.byHost[host];
  if (created) {
    current[key] = created;
  } else {
    current.erase(key);
  }
  return created;
}

}  // namespace dz::core
