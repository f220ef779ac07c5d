#include "auth/rpc/auth_rpc.h"

#include <charconv>

#include "auth/rpc/auth_clock.h"

namespace dz::auth {
namespace {

constexpr int64_t kMaxExpirySeconds = 10LL * 366 * 24 * 3600;
constexpr size_t kMaxExpiryDigits = 10;

}  // namespace

const Value* ResponseReader::member(std::string_view key) const {
  auto found = dictionary_.find(key);
  if (found == dictionary_.end() || found->second.isNull()) return nullptr;
  return &found->second;
}

std::optional<std::string> ResponseReader::string(std::string_view key) {
  const Value* value = member(key);
  if (!value) return std::nullopt;
  if (!value->isString()) {
    failed_ = true;
    return std::nullopt;
  }
  return value->asString();
}

bool ResponseReader::boolean(std::string_view key) {
  const Value* value = member(key);
  if (!value) return false;
  if (!value->isBool()) {
    failed_ = true;
    return false;
  }
  return value->asBool();
}

std::optional<double> ResponseReader::expiry(std::string_view key) {
  std::optional<std::string> text = string(key);
  if (!text) return std::nullopt;
  int64_t seconds = -1;
  const char* end = text->data() + text->size();
  const bool digitsOnly = !text->empty() && text->size() <= kMaxExpiryDigits &&
                          text->find_first_not_of("0123456789") == std::string::npos;
  if (!digitsOnly || std::from_chars(text->data(), end, seconds).ptr != end ||
      seconds > kMaxExpirySeconds) {
    failed_ = true;
    return std::nullopt;
  }
  return currentTime() + static_cast<double>(seconds);
}

template <class Element, class Accepts, class Take>
std::vector<Element> ResponseReader::array(std::string_view key, Accepts accepts, Take take) {
  std::vector<Element> result;
  const Value* value = member(key);
  if (!value) return result;
  if (!value->isArray()) {
    failed_ = true;
    return result;
  }
  for (const Value& element : value->asArray()) {
    if (!accepts(element)) {
      failed_ = true;
      return {};
    }
    result.push_back(take(element));
  }
  return result;
}

std::vector<std::string> ResponseReader::strings(std::string_view key) {
  return array<std::string>(
      key, [](const Value& element) { return element.isString(); },
      [](const Value& element) { return element.asString(); });
}

std::vector<const Value::Map*> ResponseReader::objects(std::string_view key) {
  return array<const Value::Map*>(
      key, [](const Value& element) { return element.isMap(); },
      [](const Value& element) { return &element.asMap(); });
}

}  // namespace dz::auth
