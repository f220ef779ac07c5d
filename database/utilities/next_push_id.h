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

namespace push_id_detail {
// The key right after `id` (characters of kPushChars) in key order: the last character moves on
// by one and a full digit carries left, into the time part if it must.
std::string successorOf(std::string id);
}  // namespace push_id_detail

}  // namespace dz::database
