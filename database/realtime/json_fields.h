// Lenient reads of JSON received from the server: every accessor answers "absent" for a missing
// key or a value of another type, so malformed input is never an exception. Header-only; used by
// the connection layers on the work queue.
#pragma once

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace dz::database::json {

// The member `key` of an object, or null when `value` is no object or lacks the key.
inline const boost::json::value* member(const boost::json::value& value, std::string_view key) {
  const auto* object = value.if_object();
  return object ? object->if_contains(key) : nullptr;
}
inline const boost::json::value* member(const boost::json::object& object, std::string_view key) {
  return object.if_contains(key);
}

inline bool isString(const boost::json::value* value, std::string_view text) {
  return value && value->is_string() && value->get_string() == text;
}

inline std::optional<std::string_view> asString(const boost::json::value* value) {
  if (!value || !value->is_string()) return std::nullopt;
  return std::string_view(value->get_string());
}

inline std::optional<double> asDouble(const boost::json::value* value) {
  if (!value || !value->is_number()) return std::nullopt;
  boost::system::error_code ec;
  double number = value->to_number<double>(ec);
  if (ec) return std::nullopt;
  return number;
}

// An integer number (or a double with an integral value) that fits int64.
inline std::optional<int64_t> asInt64(const boost::json::value* value) {
  if (!value || !value->is_number()) return std::nullopt;
  boost::system::error_code ec;
  int64_t number = value->to_number<int64_t>(ec);
  if (ec) return std::nullopt;
  return number;
}

inline std::string text(const boost::json::value& value) { return boost::json::serialize(value); }
inline std::string text(const boost::json::object& value) { return boost::json::serialize(value); }

// A string as it is; any other value as its JSON text.
inline std::string stringOrText(const boost::json::value& value) {
  if (auto s = asString(&value)) return std::string(*s);
  return text(value);
}

}  // namespace dz::database::json
