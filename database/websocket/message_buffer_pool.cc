#include "database/websocket/message_buffer_pool.h"

namespace dz::websocket {

void MessageBufferPool::take(std::vector<std::string>& into, size_t count) {
  platform::MutexLock lock(mutex_);
  while (count-- > 0 && !buffers_.empty()) {
    keptBytes_ -= buffers_.back().capacity();
    into.push_back(std::move(buffers_.back()));
    into.back().clear();
    buffers_.pop_back();
  }
}

void MessageBufferPool::give(std::vector<std::string>&& buffers) {
  if (buffers.empty()) return;
  platform::MutexLock lock(mutex_);
  for (auto& buffer : buffers) keepLocked(std::move(buffer));
}

void MessageBufferPool::keepLocked(std::string&& buffer) {
  const size_t capacity = buffer.capacity();
  // A buffer its receiver kept leaves an empty string behind: nothing worth a place.
  if (capacity <= std::string().capacity() || capacity > kMaxKeptCapacity ||
      buffers_.size() >= kMaxBuffers || keptBytes_ + capacity > kMaxKeptBytes) {
    return;
  }
  keptBytes_ += capacity;
  buffers_.push_back(std::move(buffer));
}

}  // namespace dz::websocket
