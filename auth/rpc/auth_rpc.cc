#include "auth/rpc/auth_rpc.h"

#include <charconv>

#include "platform/wall_clock.h"

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

std::optional<std::string> ResponseReader::string(std::string_view key) const {
  const Value* value = member(key);
  if (!value || !value->isString()) return std::nullopt;
  return value->asString();
}

std::optional<std::string> ResponseReader::essentialString(std::string_view key) {
  const Value* value = member(key);
  if (value && !value->isString()) failed_ = true;
  return string(key);
}

bool ResponseReader::boolean(std::string_view key) const {
  const Value* value = member(key);
  return value && value->isBool() && value->asBool();
}

std::optional<double> ResponseReader::expiry(std::string_view key) const {
  std::optional<std::string> text = string(key);
  if (!text || text->empty() || text->size() > kMaxExpiryDigits ||
      text->find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  int64_t seconds = 0;
  std::from_chars(text->data(), text->data() + text->size(), seconds);
  if (seconds > kMaxExpirySeconds) return std::nullopt;
  return platform::wallClockSeconds() + static_cast<double>(seconds);
}

std::vector<std::string> ResponseReader::strings(std::string_view key) const {
  std::vector<std::string> result;
  if (const Value* value = member(key); value && value->isArray()) {
    for (const Value& element : value->asArray()) {
      if (element.isString()) result.push_back(element.asString());
    }
  }
  return result;
}

std::vector<const Value::Map*> ResponseReader::objects(std::string_view key) const {
  std::vector<const Value::Map*> result;
  if (const Value* value = member(key); value && value->isArray()) {
    for (const Value& element : value->asArray()) {
      if (element.isMap()) result.push_back(&element.asMap());
    }
  }
  return result;
}

}  // namespace dz::auth
