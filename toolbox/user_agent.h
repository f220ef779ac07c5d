// The standard User-Agent text of HTTP clients: "<application identifier> <system version>".
#pragma once

#include <string>

#include "platform/bundle.h"

namespace dz::toolbox {

// For `bundle`, or the main bundle when none is given. Control characters of either part become
// blanks, so the text is always a safe header value.
std::string fetcherUserAgentForBundle(const platform::Bundle* bundle = nullptr);

}  // namespace dz::toolbox
