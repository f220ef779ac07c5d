// The process-wide network thread: one thread, made on first use and alive for the rest of the
// process, whose run loop services the socket streams of every WebSocket.
#pragma once

#include "platform/run_loop.h"

namespace dz::websocket {

// The network thread's run loop; the first call starts the thread and waits for its loop.
platform::RunLoop& networkRunLoop();

}  // namespace dz::websocket
