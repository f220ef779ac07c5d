#include "database/utilities/work_queue.h"

namespace dz::database {

const platform::DispatchQueuePtr& workQueue() {
  static auto* queue =
      new platform::DispatchQueuePtr(platform::DispatchQueue::create(kWorkQueueLabel));
  return *queue;
}

}  // namespace dz::database
