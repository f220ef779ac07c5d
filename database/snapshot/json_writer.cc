#include "database/snapshot/json_writer.h"

#include <boost/json.hpp>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

#include "database/utilities/utilities.h"

namespace dz::database {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The short escapes of control characters ('u' for those written as \u00XX), '"' and '\'.
constexpr char escapeOf(unsigned char c) {
  switch (c) {
    case '\b':
      return 'b';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\f':
      return 'f';
    case '\r':
      return 'r';
    case '"':
      return '"';
    case '\\':
      return '\\';
    default:
      return c < 0x20 ? 'u' : 0;
  }
}

class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}

  void node(const Node& node, bool exportFormat) {
    if (node.isEmpty()) {
      out_.append("null");
      return;
    }
    const Node& priority = *node.getPriority();
    bool withPriority = exportFormat && !priority.isEmpty();
    if (node.isLeafNode()) {
      if (!withPriority) {
        leaf(static_cast<const LeafNode&>(node));
        return;
      }
      out_.append(R"({".value":)");
      leaf(static_cast<const LeafNode&>(node));
      out_.append(R"(,".priority":)");
      this->node(priority, false);
      out_.push_back('}');
      return;
    }
    const ChildMap& children = node.children();
    if (!exportFormat && arrayLengthOf(children)) {
      // Keys are ascending indexes; gaps are nulls.
      out_.push_back('[');
      size_t next = 0;
      for (const auto& entry : children) {
        auto index = static_cast<size_t>(*intForString(entry.key));
        for (; next < index; ++next) out_.append(next == 0 ? "null" : ",null");
        if (next != 0) out_.push_back(',');
        this->node(*entry.value, false);
        ++next;
      }
      out_.push_back(']');
      return;
    }
    out_.push_back('{');
    bool first = true;
    for (const auto& entry : children) {
      if (!first) out_.push_back(',');
      first = false;
      string(entry.key);
      out_.push_back(':');
      this->node(*entry.value, exportFormat);
    }
    if (withPriority) {
      if (!first) out_.push_back(',');
      out_.append(R"(".priority":)");
      this->node(priority, false);
    }
    out_.push_back('}');
  }

 private:
  void leaf(const LeafNode& leaf) {
    const LeafNode::Data& data = leaf.value();
    switch (data.index()) {
      case 0:
        out_.append(std::get<bool>(data) ? "true" : "false");
        return;
      case 1: {
        char buffer[24];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, std::get<int64_t>(data)).ptr;
        out_.append(buffer, end);
        return;
      }
      case 2:
        number(std::get<double>(data));
        return;
      case 3:
        string(std::get<std::string>(data));
        return;
      default: {
        const LeafNode::Placeholder& placeholder = std::get<LeafNode::Placeholder>(data);
        out_.append(placeholder ? boost::json::serialize(placeholder->toJson()) : "null");
        return;
      }
    }
  }

  // Doubles in Boost.JSON's own form, so that the text is the same.
  void number(double d) {
    number_ = d;
    serializer_.reset(&number_);
    char buffer[64];
    boost::json::string_view text = serializer_.read(buffer, sizeof buffer);
    out_.append(text.data(), text.size());
  }

  void string(std::string_view s) {
    out_.push_back('"');
    size_t run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
      auto c = static_cast<unsigned char>(s[i]);
      char escape = escapeOf(c);
      if (!escape) continue;
      out_.append(s.data() + run, i - run);
      run = i + 1;
      out_.push_back('\\');
      if (escape != 'u') {
        out_.push_back(escape);
      } else {
        out_.append("u00");
        out_.push_back(kHexDigits[c >> 4]);
        out_.push_back(kHexDigits[c & 15]);
      }
    }
    out_.append(s.data() + run, s.size() - run);
    out_.push_back('"');
  }

  std::string& out_;
  boost::json::value number_;
  boost::json::serializer serializer_;
};

}  // namespace

void writeJsonText(const Node& node, bool exportFormat, std::string& out) {
  JsonWriter(out).node(node, exportFormat);
}

}  // namespace dz::database
