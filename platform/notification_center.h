// NotificationCenter: process-wide broadcast of named notifications. A notification carries its
// name, the identity of its sender (an opaque pointer, compared and never dereferenced; may be
// null) and a user-info map.
//
// Delivery: an observer without a queue is called synchronously on the posting thread; an observer
// with a queue is called asynchronously on that queue, except that an observer on the main queue
// is called inline when the post happens on the main thread. An observer with a sender filter sees
// only posts from that sender.
//
// Thread-safe. Callbacks never run under the center's lock, so they may post, add and remove
// observers. After removeObserver() returns, the observer's callback is not called again: a call in
// progress on another thread is waited for (unless removeObserver() is called from inside that very
// call). Two observers that remove each other from inside their callbacks, at the same time on two
// threads, therefore wait on each other: do not do that.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch_queue.h"
#include "platform/value.h"

namespace dz::platform {

struct Notification {
  std::string name;
  const void* sender = nullptr;
  Value::Map userInfo;
};

class NotificationCenter {
 public:
  using Callback = std::function<void(const Notification&)>;
  // 0 is never handed out.
  using ObserverToken = uint64_t;

  // The center of the process; lives until exit.
  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Observes notifications named `name`; with a non-null `sender`, only those posted by it. A null
  // `queue` delivers on the posting thread. An empty callback is ignored and yields token 0.
  ObserverToken addObserver(std::string name, const void* sender,
                            std::shared_ptr<DispatchQueue> queue, Callback callback);
  // Unknown tokens (and 0) are ignored.
  void removeObserver(ObserverToken token);

  void post(std::string name, const void* sender = nullptr, Value::Map userInfo = {});
  void post(Notification notification);

 private:
  struct Observer;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Observer>> observers_;
  ObserverToken nextToken_ = 1;
};

}  // namespace dz::platform
