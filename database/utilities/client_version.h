// The version strings of the database client, sent in the connection's user agent and statistics.
#pragma once

#include <string>

namespace dz::database {

// "3.1.1".
std::string sdkVersion();
// "<sdk version>_<build date>_<commit>".
std::string buildVersion();

}  // namespace dz::database
