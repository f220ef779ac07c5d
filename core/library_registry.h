// The start-up registry of client libraries. A library that sets itself up when an app is
// configured (it observes the app announcements) registers here once, from an explicit call the
// program makes at start-up before App::configure(), instead of from a hook run when its code is
// loaded. Thread-safe.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace dz::core {

// Runs `start` (on this thread, outside any lock) the first time `name` registers; later
// registrations of the same name do nothing. Returns whether this call ran it.
bool registerLibrary(const std::string& name, const std::function<void()>& start);

// The names registered so far, in registration order.
std::vector<std::string> registeredLibraries();

}  // namespace dz::core
