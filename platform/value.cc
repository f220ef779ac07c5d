#include "platform/value.h"

#include <boost/json.hpp>
#include <cmath>

#include "platform/exception.h"
#include "platform/json_text.h"

namespace dz {
namespace {

constexpr char kTypeMismatch[] = "ValueTypeMismatch";
constexpr const char* kTypeNames[] = {"null", "bool", "int", "double", "string", "array", "map"};

[[noreturn]] void mismatch(Value::Type have, const char* want) {
  throw Exception(kTypeMismatch,
                  std::string("Value is ") + kTypeNames[static_cast<int>(have)] + ", not " + want);
}

bool numbersEqual(const Value& a, const Value& b) {
  if (a.isInt() && b.isInt()) return a.asInt() == b.asInt();
  // long double holds every int64 exactly, so 2^53 + 1 does not equal 2^53 as a double.
  auto wide = [](const Value& v) {
    return v.isInt() ? static_cast<long double>(v.asInt()) : static_cast<long double>(v.asDouble());
  };
  return wide(a) == wide(b);
}

}  // namespace

Value::Value(unsigned long long i) {
  if (i <= static_cast<unsigned long long>(INT64_MAX)) {
    data_ = static_cast<int64_t>(i);
  } else {
    data_ = static_cast<double>(i);
  }
}

bool Value::asBool() const {
  if (auto* b = std::get_if<bool>(&data_)) return *b;
  mismatch(type(), "bool");
}

int64_t Value::asInt() const {
  if (auto* i = std::get_if<int64_t>(&data_)) return *i;
  mismatch(type(), "int");
}

double Value::asDouble() const {
  if (auto* d = std::get_if<double>(&data_)) return *d;
  if (auto* i = std::get_if<int64_t>(&data_)) return static_cast<double>(*i);
  mismatch(type(), "number");
}

const std::string& Value::asString() const {
  if (auto* s = std::get_if<std::string>(&data_)) return *s;
  mismatch(type(), "string");
}

const Value::Array& Value::asArray() const {
  if (auto* a = std::get_if<Array>(&data_)) return *a;
  mismatch(type(), "array");
}

const Value::Map& Value::asMap() const {
  if (auto* m = std::get_if<Map>(&data_)) return *m;
  mismatch(type(), "map");
}

Value::Array& Value::asArray() {
  if (auto* a = std::get_if<Array>(&data_)) return *a;
  mismatch(type(), "array");
}

Value::Map& Value::asMap() {
  if (auto* m = std::get_if<Map>(&data_)) return *m;
  mismatch(type(), "map");
}

std::optional<bool> Value::getBool() const {
  if (auto* b = std::get_if<bool>(&data_)) return *b;
  return std::nullopt;
}

std::optional<int64_t> Value::getInt() const {
  if (auto* i = std::get_if<int64_t>(&data_)) return *i;
  return std::nullopt;
}

std::optional<double> Value::getDouble() const {
  if (isNumber()) return asDouble();
  return std::nullopt;
}

const std::string* Value::getString() const { return std::get_if<std::string>(&data_); }
const Value::Array* Value::getArray() const { return std::get_if<Array>(&data_); }
const Value::Map* Value::getMap() const { return std::get_if<Map>(&data_); }

const Value* Value::find(std::string_view key) const {
  const Map* map = getMap();
  if (!map) return nullptr;
  auto it = map->find(key);
  return it == map->end() ? nullptr : &it->second;
}

const Value& Value::operator[](std::string_view key) const {
  const Value* found = find(key);
  return found ? *found : nullValue();
}

size_t Value::size() const {
  if (auto* a = getArray()) return a->size();
  if (auto* m = getMap()) return m->size();
  return 0;
}

bool operator==(const Value& a, const Value& b) {
  if (a.isNumber() && b.isNumber()) return numbersEqual(a, b);
  return a.data_ == b.data_;
}

Value Value::fromJson(const boost::json::value& json) {
  switch (json.kind()) {
    case boost::json::kind::null:
      return Value();
    case boost::json::kind::bool_:
      return Value(json.get_bool());
    case boost::json::kind::int64:
      return Value(static_cast<long long>(json.get_int64()));
    case boost::json::kind::uint64: {
      uint64_t u = json.get_uint64();
      return Value(static_cast<unsigned long long>(u));
    }
    case boost::json::kind::double_:
      return Value(json.get_double());
    case boost::json::kind::string:
      return Value(std::string(json.get_string()));
    case boost::json::kind::array: {
      Array array;
      array.reserve(json.get_array().size());
      for (const auto& element : json.get_array()) array.push_back(fromJson(element));
      return Value(std::move(array));
    }
    case boost::json::kind::object: {
      Map map;
      for (const auto& member : json.get_object()) {
        map.insert_or_assign(std::string(member.key()), fromJson(member.value()));
      }
      return Value(std::move(map));
    }
  }
  return Value();
}

boost::json::value Value::toJson() const {
  switch (type()) {
    case Type::Null:
      return nullptr;
    case Type::Bool:
      return asBool();
    case Type::Int:
      return asInt();
    case Type::Double: {
      double d = asDouble();
      // JSON has no NaN or infinity; null is what a reader can take.
      if (!std::isfinite(d)) return nullptr;
      return d;
    }
    case Type::String:
      return boost::json::string(asString());
    case Type::Array: {
      boost::json::array array;
      array.reserve(asArray().size());
      for (const auto& element : asArray()) array.push_back(element.toJson());
      return array;
    }
    case Type::Map: {
      boost::json::object object;
      object.reserve(asMap().size());
      for (const auto& [key, element] : asMap()) object.emplace(key, element.toJson());
      return object;
    }
  }
  return nullptr;
}

std::optional<Value> Value::parseJson(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = kMaxParseDepth;
  options.allow_invalid_utf8 = true;  // toJsonString writes strings byte for byte
  boost::system::error_code ec;
  boost::json::value json = parseJsonExact(text, ec, options);
  if (ec) return std::nullopt;
  return fromJson(json);
}

std::string Value::toJsonString() const { return boost::json::serialize(toJson()); }

const Value& nullValue() {
  // Never destroyed: threads still reading values while the process exits must see a null.
  static const Value* null = new Value();
  return *null;
}

}  // namespace dz
