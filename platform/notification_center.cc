#include "platform/notification_center.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "platform/run_loop.h"
#include "platform/task_guard.h"

namespace dz::platform {

struct NotificationCenter::Observer {
  ObserverToken token = 0;
  std::string name;
  const void* sender = nullptr;
  std::shared_ptr<DispatchQueue> queue;

  std::mutex mutex;  // guards the members below
  std::condition_variable idle;
  Callback callback;
  bool removed = false;
  std::vector<std::thread::id> callers;  // threads inside the callback right now

  bool accepts(const Notification& notification) const {
    return name == notification.name && (!sender || sender == notification.sender);
  }

  void deliver(const Notification& notification) {
    {
      std::lock_guard lock(mutex);
      if (removed) return;
      callers.push_back(std::this_thread::get_id());
    }
    // No lock while calling: the callback is released only once no call is in progress.
    runCatchingAll([&] { callback(notification); },
                   "NotificationCenter observer of " + notification.name);
    Callback released;
    {
      std::lock_guard lock(mutex);
      callers.erase(std::find(callers.begin(), callers.end(), std::this_thread::get_id()));
      // The last call out of a removed observer lets go of what the callback captured.
      if (removed && callers.empty()) released = std::move(callback);
    }
    idle.notify_all();
  }

  // Stops further calls and waits for calls in progress on other threads; a call in progress on
  // this thread (removal from inside the callback) finishes after we return.
  void retire() {
    Callback released;
    {
      std::unique_lock lock(mutex);
      removed = true;
      const std::thread::id self = std::this_thread::get_id();
      idle.wait(lock, [&] {
        return std::all_of(callers.begin(), callers.end(),
                           [&](std::thread::id caller) { return caller == self; });
      });
      if (callers.empty()) released = std::move(callback);
    }
  }
};

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();  // used until exit
  return *center;
}

NotificationCenter::NotificationCenter() = default;

NotificationCenter::~NotificationCenter() {
  std::vector<std::shared_ptr<Observer>> observers;
  {
    std::lock_guard lock(mutex_);
    observers.swap(observers_);
  }
  for (const auto& observer : observers) observer->retire();
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(
    std::string name, const void* sender, std::shared_ptr<DispatchQueue> queue, Callback callback) {
  if (!callback) return 0;
  auto observer = std::make_shared<Observer>();
  observer->name = std::move(name);
  observer->sender = sender;
  observer->queue = std::move(queue);
  observer->callback = std::move(callback);
  std::lock_guard lock(mutex_);
  observer->token = nextToken_++;
  observers_.push_back(observer);
  return observer->token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::shared_ptr<Observer> observer;
  {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(observers_.begin(), observers_.end(),
                              [&](const auto& candidate) { return candidate->token == token; });
    if (found == observers_.end()) return;
    observer = std::move(*found);
    observers_.erase(found);
  }
  observer->retire();
}

void NotificationCenter::post(std::string name, const void* sender, Value::Map userInfo) {
  post(Notification{std::move(name), sender, std::move(userInfo)});
}

void NotificationCenter::post(Notification notification) {
  std::vector<std::shared_ptr<Observer>> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& observer : observers_) {
      if (observer->accepts(notification)) targets.push_back(observer);
    }
  }
  if (targets.empty()) return;
  const bool onMainThread = RunLoop::isMainThread();
  std::shared_ptr<const Notification> shared;  // one copy for all queued deliveries
  for (const auto& observer : targets) {
    if (!observer->queue || (onMainThread && observer->queue == DispatchQueue::main())) {
      observer->deliver(notification);
      continue;
    }
    if (!shared) shared = std::make_shared<const Notification>(notification);
    observer->queue->async([observer, shared] { observer->deliver(*shared); });
  }
}

}  // namespace dz::platform
