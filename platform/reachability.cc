#include "platform/reachability.h"

namespace dz::platform {
namespace {

constexpr char kChangeNotification[] = "ReachabilityChanged";
constexpr char kReachableKey[] = "reachable";
constexpr char kObserverQueueLabel[] = "Reachability observer";

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
  // Through a queue of its own on `queue`: the center calls main-queue observers inline when the
  // change happens on the main thread, which would overtake changes still queued from elsewhere.
  auto inOrder = DispatchQueue::create(kObserverQueueLabel, std::move(queue));
  return center_.addObserver(kChangeNotification, nullptr, std::move(inOrder),
                             [callback = std::move(callback)](const Notification& notification) {
                               callback(notification.userInfo.at(kReachableKey).asBool());
                             });
}

void Reachability::removeObserver(ObserverToken token) { center_.removeObserver(token); }

}  // namespace dz::platform
