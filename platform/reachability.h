// Reachability: whether the network can be reached. There is no network watcher on this platform:
// the state is reachable until the program or a test says otherwise with setReachable(). Observers
// are called on their own queue after every change (a repeated value is not a change), always
// asynchronously and in the order of the changes. shared() is the process's instance and lives
// until exit; tests may make their own. Thread-safe; after removeObserver() returns, the callback
// is not called again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch_queue.h"
#include "platform/notification_center.h"

namespace dz::platform {

class Reachability {
 public:
  using Callback = std::function<void(bool reachable)>;
  // 0 is never handed out.
  using ObserverToken = NotificationCenter::ObserverToken;

  static Reachability& shared();
  Reachability();

  Reachability(const Reachability&) = delete;
  Reachability& operator=(const Reachability&) = delete;

  bool isReachable() const;
  void setReachable(bool reachable);

  // A null queue or an empty callback is ignored and yields token 0.
  ObserverToken addObserver(std::shared_ptr<DispatchQueue> queue, Callback callback);
  void removeObserver(ObserverToken token);

 private:
  // Changes are told through a private center, which already gives queue delivery and safe
  // removal. changeMutex_ keeps racing changes in the order observers hear them.
  NotificationCenter center_;
  std::recursive_mutex changeMutex_;
  std::atomic<bool> reachable_{true};
};

}  // namespace dz::platform
