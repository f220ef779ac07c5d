// The check that a method runs on the queue its class's header names. DZ_ASSERT_ON_QUEUE(queue)
// at a method's entry: in builds with a sanitizer (address or thread: the test, TSan and fuzz
// builds) a call from anywhere else writes the method and the queue to standard error and aborts;
// in every other build it is compiled out and `queue` is not even evaluated. Seen from the
// compiler, not set by the build, so turning it on changes no compile command. The main queue
// belongs to the main thread: a call there counts as on the main queue outside its tasks too, as
// when a test or a program pumps the main run loop itself. Thread-safe; no state of its own.
#pragma once

#include "platform/dispatch_queue.h"

#if !defined(DZ_CHECK_QUEUES)
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DZ_CHECK_QUEUES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DZ_CHECK_QUEUES 1
#endif
#endif
#endif

namespace dz::platform {

#if DZ_CHECK_QUEUES
inline constexpr bool kQueueChecksEnabled = true;
#else
inline constexpr bool kQueueChecksEnabled = false;
#endif

// Whether the calling thread may touch what `queue` owns: it runs one of the queue's tasks (or
// one of a queue targeting it), or it is the main thread and `queue` is the main queue.
bool isOnQueue(const DispatchQueue& queue);

// Aborts, naming `function`, the expected queue and where the call came from, unless the caller
// is on `queue`. A null queue always aborts: the owner was never given one.
void assertOnQueue(const DispatchQueuePtr& queue, const char* function) noexcept;

}  // namespace dz::platform

#if DZ_CHECK_QUEUES
#define DZ_ASSERT_ON_QUEUE(queue) ::dz::platform::assertOnQueue((queue), __PRETTY_FUNCTION__)
#else
// Named but not evaluated: a parameter that only this check reads still counts as used.
#define DZ_ASSERT_ON_QUEUE(queue) static_cast<void>(sizeof(queue))
#endif
#define DZ_ASSERT_ON_MAIN_QUEUE() DZ_ASSERT_ON_QUEUE(::dz::platform::DispatchQueue::main())
