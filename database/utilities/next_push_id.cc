#include "database/utilities/next_push_id.h"

#include <cmath>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "platform/crypto.h"

namespace dz::database {
namespace {

constexpr size_t kTimeDigits = 8;
constexpr size_t kRandomDigits = 12;
constexpr size_t kBase = 64;
constexpr int64_t kTimeLimit = int64_t{1} << (6 * kTimeDigits);  // what 8 base-64 digits hold

int64_t millisecondsFrom(double seconds) {
  double ms = std::floor(seconds * 1000.0);
  if (!(ms >= 0)) return 0;  // negative or NaN
  if (ms >= static_cast<double>(kTimeLimit)) return kTimeLimit - 1;
  return static_cast<int64_t>(ms);
}

}  // namespace

namespace push_id_detail {

std::string successorOf(std::string id) {
  const std::string_view chars(kPushChars, kBase);
  for (size_t i = id.size(); i-- > 0;) {
    size_t digit = chars.find(id[i]);
    if (digit == std::string_view::npos) digit = 0;
    if (digit + 1 < kBase) {
      id[i] = chars[digit + 1];
      return id;
    }
    id[i] = chars[0];
  }
  return id;
}

}  // namespace push_id_detail

std::string nextPushId(double nowSeconds) {
  static std::mutex mutex;
  static int64_t lastTime = -1;
  static std::string lastId;

  int64_t now = millisecondsFrom(nowSeconds);
  std::lock_guard lock(mutex);
  if (now == lastTime) {
    lastId = push_id_detail::successorOf(std::move(lastId));
    return lastId;
  }
  std::string id(kTimeDigits + kRandomDigits, kPushChars[0]);
  int64_t time = now;
  for (size_t i = kTimeDigits; i-- > 0;) {
    id[i] = kPushChars[time % kBase];
    time /= kBase;
  }
  std::string random = platform::secureRandomBytes(kRandomDigits);
  for (size_t i = 0; i < kRandomDigits; ++i) {
    id[kTimeDigits + i] = kPushChars[static_cast<unsigned char>(random[i]) % kBase];
  }
  lastTime = now;
  lastId = id;
  return id;
}

}  // namespace dz::database
