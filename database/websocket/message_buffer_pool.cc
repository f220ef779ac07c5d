#include "database/websocket/message_buffer_pool.h"

namespace dz::websocket {

std::string MessageBufferPool::take() {
  std::lock_guard lock(mutex_);
  if (buffers_.empty()) return {};
  std::string buffer = std::move(buffers_.back());
  buffers_.pop_back();
  keptBytes_ -= buffer.capacity();
  buffer.clear();
  return buffer;
}

void MessageBufferPool::give(std::vector<std::string>&& buffers) {
  if (buffers.empty()) return;
  std::lock_guard lock(mutex_);
  for (auto& buffer : buffers) keepLocked(std::move(buffer));
}

void MessageBufferPool::keepLocked(std::string&& buffer) {
  const size_t capacity = buffer.capacity();
  if (capacity > kMaxKeptCapacity || buffers_.size() >= kMaxBuffers ||
      keptBytes_ + capacity > kMaxKeptBytes) {
    return;
  }
  keptBytes_ += capacity;
  buffers_.push_back(std::move(buffer));
}

}  // namespace dz::websocket
