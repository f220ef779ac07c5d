// The names of the application's life-cycle notifications, posted on the default notification
// center by the UI layer's application object and observed below it as well (the database client
// flushes its queue on entering the background and reconnects on returning to the foreground).
#pragma once

namespace dz::platform {

inline constexpr char kApplicationDidFinishLaunchingNotification[] =
    "UIApplicationDidFinishLaunchingNotification";
inline constexpr char kApplicationWillResignActiveNotification[] =
    "UIApplicationWillResignActiveNotification";
inline constexpr char kApplicationDidEnterBackgroundNotification[] =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr char kApplicationWillEnterForegroundNotification[] =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr char kApplicationDidBecomeActiveNotification[] =
    "UIApplicationDidBecomeActiveNotification";
inline constexpr char kApplicationWillTerminateNotification[] =
    "UIApplicationWillTerminateNotification";

}  // namespace dz::platform
