#include "database/websocket/message_buffer_pool.h"

namespace dz::websocket {

std::string MessageBufferPool::take() {
  std::lock_guard lock(mutex_);
  if (buffers_.empty()) return {};
  std::string buffer = std::move(buffers_.back());
  buffers_.pop_back();
  buffer.clear();
  return buffer;
}

void MessageBufferPool::give(std::string&& buffer) {
  if (buffer.capacity() > kMaxKeptCapacity) return;
  std::lock_guard lock(mutex_);
  if (buffers_.size() < kMaxBuffers) buffers_.push_back(std::move(buffer));
}

}  // namespace dz::websocket
