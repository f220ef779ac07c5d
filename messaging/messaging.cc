#include "messaging/messaging.h"

#include "platform/dispatch_queue.h"

namespace dz::messaging {

Messaging& Messaging::messaging() {
  static Messaging* shared = new Messaging();
  return *shared;
}

void Messaging::setRemoteMessageDelegate(std::weak_ptr<MessagingDelegate> delegate) {
  if (delegate.expired()) return;
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<MessagingDelegate> Messaging::remoteMessageDelegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void Messaging::receiveDataMessage(Value::Map data) {
  // The delegate of the moment the message arrives; it is not kept alive for the delivery.
  std::weak_ptr<MessagingDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_;
  }
  platform::DispatchQueue::main()->async([delegate, data = std::move(data)] {
    if (auto receiver = delegate.lock()) {
      receiver->applicationReceivedRemoteMessage(RemoteMessage(data));
    }
  });
}

void Messaging::reset() {
  std::lock_guard lock(mutex_);
  delegate_.reset();
}

}  // namespace dz::messaging
