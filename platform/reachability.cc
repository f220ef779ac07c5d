#include "platform/reachability.h"

namespace dz::platform {
namespace {

constexpr char kChangeNotification[] = "ReachabilityChanged";
constexpr char kReachableKey[] = "reachable";

}  // namespace

Reachability& Reachability::shared() {
  static Reachability* reachability = new Reachability();  // used until exit
  return *reachability;
}

Reachability::Reachability() = default;

bool Reachability::isReachable() const { return reachable_.load(); }

void Reachability::setReachable(bool reachable) {
  std::lock_guard lock(changeMutex_);
  if (reachable_.exchange(reachable) == reachable) return;
  center_.post(kChangeNotification, this, {{kReachableKey, Value(reachable)}});
}

Reachability::ObserverToken Reachability::addObserver(std::shared_ptr<DispatchQueue> queue,
                                                      Callback callback) {
  if (!queue || !callback) return 0;
  return center_.addObserver(kChangeNotification, nullptr, std::move(queue),
                             [callback = std::move(callback)](const Notification& notification) {
                               callback(notification.userInfo.at(kReachableKey).asBool());
                             });
}

void Reachability::removeObserver(ObserverToken token) { center_.removeObserver(token); }

}  // namespace dz::platform
