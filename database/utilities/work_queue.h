// The one serial work queue of the database client, "DezuvuraWorker": every repository, connection
// and persistence task of the process runs on it, one at a time, in submission order. Made on
// first use (thread-safe) and never released, so tasks may still run while the process exits.
#pragma once

#include "platform/dispatch_queue.h"

namespace dz::database {

inline constexpr char kWorkQueueLabel[] = "DezuvuraWorker";

const platform::DispatchQueuePtr& workQueue();

}  // namespace dz::database
