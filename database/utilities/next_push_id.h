// Push ids: 20-character child keys that sort in creation order. The first 8 characters encode
// the time in milliseconds, the other 12 are random; keys made in the same millisecond follow the
// previous one. Thread-safe (one process-wide state under a lock).
#pragma once

#include <string>

namespace dz::database {

inline constexpr char kPushChars[] =
    "-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";

// `nowSeconds` is the time in seconds since 1970, truncated to whole milliseconds. Within one
// millisecond every key is greater than the previous one. Times before 1970, beyond what 8
// characters hold, or not finite are clamped into range.
std::string nextPushId(double nowSeconds);

}  // namespace dz::database
