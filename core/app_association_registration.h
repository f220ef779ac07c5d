// AppAssociationRegistration: one object per (host, key), made on first request, so that a client
// library keeps exactly one per-app object (authentication: host = the app, key = "DZAuth").
//
// All calls share one process-wide recursive lock, held while the creation closure runs: a second
// thread asking for any pair waits, and the closure may itself register other pairs. Asking for
// the pair being created from inside its own closure throws dz::Exception named
// kReenteringRegistrationException instead of deadlocking. A closure that throws leaves nothing
// registered and its exception reaches the caller; a closure returning null registers nothing and
// yields null.
//
// Registrations are keyed weakly by the host's identity (its control block): they do not keep the
// host alive, and they are dropped by the first call after the host is gone. The registered
// objects are held strongly
// until then, so an object that holds its host strongly keeps both alive for the process's life,
// as per-app objects are meant to live.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace dz::core {

inline constexpr char kReenteringRegistrationException[] =
    "Reentering registeredObjectWithHost:key:creationBlock: not allowed";

class AppAssociationRegistration {
 public:
  AppAssociationRegistration() = delete;

  static std::shared_ptr<void> registeredObject(
      const std::shared_ptr<const void>& host, const std::string& key,
      const std::function<std::shared_ptr<void>()>& create);

  // Typed form. One key must always name one type of object.
  template <typename T, typename Host>
  static std::shared_ptr<T> registeredObject(const std::shared_ptr<Host>& host,
                                             const std::string& key,
                                             const std::function<std::shared_ptr<T>()>& create) {
    return std::static_pointer_cast<T>(
        registeredObject(std::static_pointer_cast<const void>(host), key,
                         [&create]() -> std::shared_ptr<void> { return create(); }));
  }
};

}  // namespace dz::core
