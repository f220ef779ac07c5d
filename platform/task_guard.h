// Runs a callback of the threading stand-ins so that nothing it throws escapes: the exception is
// caught and logged with the owner's name (a queue label, "RunLoop timer", ...). Private to
// platform/.
#pragma once

#include <functional>
#include <string_view>

namespace dz::platform {

void runCatchingAll(const std::function<void()>& task, std::string_view owner) noexcept;

}  // namespace dz::platform
