#include "database/websocket/network_thread.h"

#include <pthread.h>

#include <future>
#include <thread>

namespace dz::websocket {
namespace {

constexpr char kThreadName[] = "dz.ws.network";

}  // namespace

platform::RunLoop& networkRunLoop() {
  static platform::RunLoop* const loop = [] {
    std::promise<platform::RunLoop*> published;
    auto future = published.get_future();
    std::thread([published = std::move(published)]() mutable {
      ::pthread_setname_np(::pthread_self(), kThreadName);
      platform::RunLoop& own = platform::RunLoop::current();
      published.set_value(&own);
      // Nobody stops this loop; should a run ever return, run again.
      while (true) own.run();
    }).detach();
    return future.get();
  }();
  return *loop;
}

}  // namespace dz::websocket
