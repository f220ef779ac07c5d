// Conversions between nodes and plain values: plain values (dz::Value) and JSON from the wire
// (Boost.JSON, converted directly without a dz::Value in between) become nodes, and nodes become
// plain values or JSON again. Thread-safe free functions.
//
// Conversion rules, the same for both sources: null is the empty node; a map holding ".value"
// is a leaf of that value, a map holding ".sv" is a server value placeholder kept as a leaf, and
// ".priority" in a map sets the node's priority; arrays become children keyed "0", "1", ...;
// null children are dropped. Values that cannot be stored throw dz::Exception
// "InvalidDezuvuraData" (or "InvalidLeafValueType" for a bad ".value") with the caller's label:
// non-finite numbers, invalid keys, invalid priorities, unknown server values, and nesting more
// than 1,000 levels deep.
#pragma once

#include <boost/json/fwd.hpp>
#include <cstddef>
#include <string>
#include <string_view>

#include "database/snapshot/compound_write.h"
#include "database/snapshot/node.h"
#include "platform/value.h"

namespace dz::database {

inline constexpr char kInvalidLeafValueType[] = "InvalidLeafValueType";
inline constexpr char kNodeFromLabel[] = "nodeFrom:priority:";
// The one server value there is.
inline constexpr char kServerValueTimestamp[] = "timestamp";
// Deepest nesting of a value (the root is level 0).
inline constexpr size_t kMaxObjectDepth = 1000;
// Deepest nesting of arrays and objects that JSON text may have, so that data nested too deep
// is refused by the depth rule above rather than as malformed text.
inline constexpr size_t kMaxJsonTextDepth = kMaxObjectDepth + 100;

class SnapshotUtilities {
 public:
  // The node of a plain value with a priority (null for none), checked under the label.
  static NodePtr nodeFrom(const Value& value, const Value& priority = Value(),
                          std::string_view label = kNodeFromLabel);
  // The node of wire JSON, checked as above.
  static NodePtr nodeFromJson(const boost::json::value& json,
                              std::string_view label = kNodeFromLabel);
  // As nodeFromJson, for server and disk input: null instead of an exception.
  static NodePtr tryNodeFromJson(const boost::json::value& json) noexcept;
  // The node of JSON text, read without building a JSON document: the same node or exception as
  // nodeFromJson of the parsed text (at most kMaxJsonTextDepth deep); text that is not JSON
  // throws "InvalidDezuvuraData".
  static NodePtr nodeFromJsonText(std::string_view text, std::string_view label = kNodeFromLabel);
  // As nodeFromJsonText, for server and disk input: null instead of an exception.
  static NodePtr tryNodeFromJsonText(std::string_view text) noexcept;

  // The node as JSON (Node::val's rules).
  static boost::json::value toJson(const Node& node, bool exportFormat = false);
  // The node as JSON text, written directly: the same text as serializing toJson's result.
  static std::string toJsonText(const Node& node, bool exportFormat = false);

  // Writes of each value at the relative path its key spells. Keys must be valid path strings
  // (a last key ".priority" is allowed); throws as nodeFrom and with "InvalidPathValidation".
  static CompoundWrite compoundWriteFromDictionary(const Value::Map& values,
                                                   std::string_view label);

  // A quick estimate of the JSON size of the node's export form, in bytes.
  static size_t estimateSerializedNodeSize(const Node& node);
};

}  // namespace dz::database
