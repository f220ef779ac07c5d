// dz::Value: the plain value of the system (null, bool, int64, double, string, array, map with
// sorted keys), as user-facing data and settings carry it. A value type: copies are deep, and a
// Value is safe to read from several threads at once. JSON enters and leaves through Boost.JSON.
#pragma once

#include <boost/json/fwd.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/exception.h"

namespace dz {

class Value {
 public:
  using Array = std::vector<Value>;
  using Map = std::map<std::string, Value, std::less<>>;
  enum class Type { Null, Bool, Int, Double, String, Array, Map };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  Value(int i) : data_(static_cast<int64_t>(i)) {}
  Value(long i) : data_(static_cast<int64_t>(i)) {}
  Value(long long i) : data_(static_cast<int64_t>(i)) {}
  Value(unsigned i) : data_(static_cast<int64_t>(i)) {}
  // Sizes and counts; beyond the int64 range the number is kept as a double, as JSON input is.
  Value(unsigned long i) : Value(static_cast<unsigned long long>(i)) {}
  Value(unsigned long long i);
  Value(double d) : data_(d) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(Array a) : data_(std::move(a)) {}
  Value(Map m) : data_(std::move(m)) {}

  Type type() const { return static_cast<Type>(data_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  bool isInt() const { return type() == Type::Int; }
  bool isDouble() const { return type() == Type::Double; }
  bool isNumber() const { return isInt() || isDouble(); }
  bool isString() const { return type() == Type::String; }
  bool isArray() const { return type() == Type::Array; }
  bool isMap() const { return type() == Type::Map; }

  // Typed reads. Reading the wrong type throws dz::Exception "ValueTypeMismatch"; asDouble
  // accepts either number type, asInt only an integer.
  bool asBool() const;
  int64_t asInt() const;
  double asDouble() const;
  const std::string& asString() const;
  const Array& asArray() const;
  const Map& asMap() const;
  Array& asArray();
  Map& asMap();

  // Lenient reads for data of unknown shape: the value when it has the type, else none.
  std::optional<bool> getBool() const;
  std::optional<int64_t> getInt() const;
  std::optional<double> getDouble() const;
  const std::string* getString() const;
  const Array* getArray() const;
  const Map* getMap() const;

  // Member lookup on a map; none when this is not a map or the key is missing.
  const Value* find(std::string_view key) const;
  // Member lookup that yields null for a missing key or a non-map.
  const Value& operator[](std::string_view key) const;
  size_t size() const;  // elements of an array or map, else 0

  // Equal numbers compare equal across int64 and double.
  friend bool operator==(const Value& a, const Value& b);

  static Value fromJson(const boost::json::value& json);
  boost::json::value toJson() const;
  // Parses JSON text, numbers exactly and strings byte for byte (so whatever toJsonString
  // wrote reads back); none on malformed input or arrays and objects nested deeper than
  // kMaxParseDepth.
  static std::optional<Value> parseJson(std::string_view text);
  // Deep enough for stored database data (1,000 levels) and the records around it.
  static constexpr size_t kMaxParseDepth = 1100;
  std::string toJsonString() const;

 private:
  std::variant<std::monostate, bool, int64_t, double, std::string, Array, Map> data_;
};

const Value& nullValue();

}  // namespace dz
