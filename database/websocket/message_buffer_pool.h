// MessageBufferPool: strings that delivered messages leave behind, kept for the next messages
// so that a steady stream of messages reuses memory instead of faulting in fresh pages for each.
// Bounded in count and in the capacity it keeps. Thread-safe: the delegate queue gives buffers
// back, the socket's work queue takes them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"

namespace dz::websocket {

class MessageBufferPool {
 public:
  // Enough for every message of a read batch of small messages (a batch goes to the delegate
  // every 256 KiB): buffers not kept are freed and allocated afresh for the next messages.
  static constexpr size_t kMaxBuffers = 512;
  static constexpr size_t kMaxKeptCapacity = 256 * 1024;
  static constexpr size_t kMaxKeptBytes = 2 * 1024 * 1024;

  // Up to `count` empty strings with capacity, appended to `into`.
  void take(std::vector<std::string>& into, size_t count);
  // Keeps each buffer unless the pool is full or the buffer too large to hold on to.
  void give(std::vector<std::string>&& buffers);

 private:
  void keepLocked(std::string&& buffer) DZ_REQUIRES(mutex_);
  platform::Mutex mutex_;
  std::vector<std::string> buffers_ DZ_GUARDED_BY(mutex_);
  size_t keptBytes_ DZ_GUARDED_BY(mutex_) = 0;
};

}  // namespace dz::websocket
