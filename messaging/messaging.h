// Messaging: as much of the push-messaging client as the application delegate uses: the
// process-wide messaging object, its remote-message delegate, and the data messages it receives.
// There is no messaging connection here: receiveDataMessage() stands in for one, driven by the
// demo and the tests. Delivery runs on the main queue; the delegate is held weakly. Thread-safe.
#pragma once

#include <memory>
#include <mutex>

#include "platform/value.h"

namespace dz::messaging {

// A data message as the application sees it.
class RemoteMessage {
 public:
  explicit RemoteMessage(Value::Map appData) : appData_(std::move(appData)) {}
  const Value::Map& appData() const { return appData_; }

 private:
  Value::Map appData_;
};

class MessagingDelegate {
 public:
  virtual ~MessagingDelegate() = default;
  virtual void applicationReceivedRemoteMessage(const RemoteMessage& remoteMessage) = 0;
};

class Messaging {
 public:
  // The messaging object of the process, made once.
  static Messaging& messaging();
  Messaging(const Messaging&) = delete;
  Messaging& operator=(const Messaging&) = delete;

  // A null delegate is ignored (the one set before stays).
  void setRemoteMessageDelegate(std::weak_ptr<MessagingDelegate> delegate);
  std::shared_ptr<MessagingDelegate> remoteMessageDelegate() const;

  // A data message arriving: the delegate set at this moment, if it is still alive then, gets a
  // copy of `data` on the main queue.
  void receiveDataMessage(Value::Map data);

  // Forgets the delegate, for tests.
  void reset();

 private:
  Messaging() = default;
  mutable std::mutex mutex_;
  std::weak_ptr<MessagingDelegate> delegate_;
};

}  // namespace dz::messaging
